#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;

namespace korvane {

// "Start log": the most recent starts from starts.csv at `logPath`, newest first, in a
// table nobody can edit, and the folder the file is in. Each showing reads the file again.
class frmStart_log : public QDialog {
    Q_OBJECT
public:
    static constexpr int Starts_Shown = 50;

    explicit frmStart_log(QString logPath, QWidget* parent = nullptr);

    void Form_Load();
    void cmdClose_Click();

    QTableWidget* Starts = nullptr; // one row per start, the columns of starts.csv
    QLabel* Note = nullptr;         // what was shown, or why nothing was
    QLabel* Folder = nullptr;       // "Your files: " and the folder of starts.csv
    QPushButton* cmdClose = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Build_Controls();
    void Wire_Events();

    QString logPath_;
};

} // namespace korvane
