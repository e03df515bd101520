#pragma once

#include <QTimer>
#include <QWidget>

#include <array>
#include <optional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace korvane {

class frmUSB_Main;

// What the Send button makes of the text box: a byte for port A, or why there is none.
struct PortAValue {
    std::optional<quint8> value;
    QString problem;
};
PortAValue parsePortAValue(const QString& text);

// Shows the module's 24 lines as check boxes laid out like the connector pins, read
// ten times a second through the main window's link, and the link's round trip. The
// reads are the link engine's: the window never waits for them. Closing it unloads it.
class frmDebug_window : public QWidget {
    Q_OBJECT
public:
    explicit frmDebug_window(frmUSB_Main& main);

    void Form_Load();
    void IO_polling_Timer();
    // Writes the value in IO_value (0..255) to port A, so the wiring of the gate and
    // lights can be tried line by line; anything else sends nothing and says why.
    void Test_par_port_io_Click();
    // A refresh is under way: its reads are asked for, not all answered yet.
    bool refreshing() const { return reading_; }

    std::array<QGroupBox*, 3> Port_Frame{}; // "Port A", "Port B", "Port C"
    std::array<QCheckBox*, 8> CheckA{};     // CheckA[n] shows line n of port A
    std::array<QCheckBox*, 8> CheckB{};
    std::array<QCheckBox*, 8> CheckC{};
    std::array<QCheckBox*, 3> Vcc{}; // disabled legends, one per frame
    std::array<QCheckBox*, 3> Ground{};
    QLabel* Output_label = nullptr;
    QLabel* roundTrip = nullptr; // the last read's round trip
    QLineEdit* IO_value = nullptr;
    QPushButton* Test_par_port_io = nullptr;
    QTimer IO_polling;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Build_Controls();
    QGroupBox* Build_Port_Frame(const QString& caption, int top, const QString& prefix,
                                std::array<QCheckBox*, 8>& lines, QCheckBox*& vcc,
                                QCheckBox*& ground);
    void Read_Ports();
    void takeRead(char port, quint8 value);

    frmUSB_Main& main_;
    // The refresh under way: ports A, B and C as they come.
    std::array<std::optional<quint8>, 3> read_{};
    bool reading_ = false;
};

} // namespace korvane
