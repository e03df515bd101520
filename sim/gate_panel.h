#pragma once

#include "sim/command_meaning.h"
#include "sim/virtual_module.h"

#include <QWidget>

#include <array>
#include <memory>

class QLabel;
class QPushButton;

namespace korvane {
class Lamp;
}

namespace korvane::sim {

// The start gate drawn from the side: a ramp with the gate plate standing up while the
// gate line is on, lying flat on the ramp once it has dropped.
class GateView : public QWidget {
    Q_OBJECT
public:
    explicit GateView(QWidget* parent = nullptr);
    void setUp(bool up);
    bool isUp() const { return up_; }
    QSize sizeHint() const override { return {240, 150}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool up_ = false;
};

// "Virtual start gate": what a virtual module does, shown from the bytes it receives.
// The gate and the three lights follow the module's port A lines; the 24 lines show the
// module's three port bytes; two push buttons hold the external start button and the
// finish beam lines of port B high while they are pressed.
class GatePanel : public QWidget {
    Q_OBJECT
public:
    // Installs the panel's command callback on the module, which must not be started yet.
    explicit GatePanel(VirtualModule& module, QWidget* parent = nullptr);
    ~GatePanel() override;

    // The wiring of the lines, from the program's settings; relabels the lines.
    void setRoles(const LineRoles& roles);
    const LineRoles& roles() const { return roles_; }

    // Holds the external start button / finish beam line high (down) or low.
    void setStartButtonDown(bool down);
    void setFinishBeamDown(bool down);

    GateView* gate() const { return gate_; }
    Lamp* light(int index) const { return lights_.at(index); } // 0 red, 1 orange, 2 green
    Lamp* line(int index) const { return lines_.at(index); }   // 0..23
    QPushButton* startButton() const { return startButton_; }
    QPushButton* finishBeamButton() const { return finishBeamButton_; }
    QLabel* lastCommands() const { return lastCommands_; }

private:
    using PortBytes = std::array<quint8, 3>;
    struct Relay;

    QWidget* makeGateAndLights();
    QWidget* makeLines();
    QWidget* makeButtons();
    void showCommand(const VirtualModule::Command& command);
    void showPorts(const PortBytes& ports);
    void showPortsNow();
    void relabelLines();
    void setInputDown(int line, bool down);

    VirtualModule& module_;
    std::shared_ptr<Relay> relay_;
    LineRoles roles_;

    GateView* gate_ = nullptr;
    std::array<Lamp*, 3> lights_{};
    std::array<Lamp*, 24> lines_{};
    std::array<QLabel*, 24> lineLabels_{};
    QPushButton* startButton_ = nullptr;
    QPushButton* finishBeamButton_ = nullptr;
    QLabel* lastCommands_ = nullptr;
    QLabel* reads_ = nullptr;

    qint64 firstCommandNs_ = -1;
    QStringList recent_; // newest first
    int readCount_ = 0;
};

} // namespace korvane::sim
