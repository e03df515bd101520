// The main window's side of the module link: discovery, recovery of a lost module, the
// output operations and the read transaction with its failure message.
#include "app/frmUSB_Main.h"

#include "app/application.h"
#include "app/message_box.h"
#include "io/module_protocol.h"
#include "sequence/trigger_table.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

namespace korvane {

namespace {

constexpr int First_Port = 1;
constexpr int Last_Port = 16;
// A lost module is looked for on its own port this many times (one a second) before
// every port is scanned; from then on every port, every `Rescan_Every` ticks.
constexpr int Own_Port_Tries = 3;
constexpr int Rescan_Every = 3;
// A read slower than this is taken for a module that may not answer in time next.
constexpr qint64 Slow_Read_Ns = 50'000'000;
// What a healthy read may cost beyond its last round trip: the write and the wake-up.
constexpr int Read_Margin_Ms = 5;
// The read that checks the gate after the module came back.
constexpr int Recovery_Read_Wait_Ms = 100;

QList<int> allPorts() {
    QList<int> ports;
    for (int n = First_Port; n <= Last_Port; ++n)
        ports << n;
    return ports;
}

// The port number that `device` has in the catalogue now, or 0 when it is gone.
int portOf(const SerialLink& link, const QString& device) {
    if (device.isEmpty() || !QFileInfo::exists(device))
        return 0;
    for (int n = First_Port; n <= Last_Port; ++n) {
        if (link.catalog().portName(n) == device)
            return n;
    }
    return 0;
}

// Ports that exist but that this user may not open (only on Linux: Windows reports a
// port another program holds as in use), and the fix.
QString deniedPortsHint(const QStringList& denied) {
    if (denied.isEmpty())
        return {};
    QStringList named = denied.mid(0, 2);
    if (denied.size() > named.size())
        named << QStringLiteral("%1 more").arg(denied.size() - named.size());
    return QStringLiteral("\n\nThis user may not open the serial %1 %2. Add the user to the "
                          "dialout group (sudo adduser $USER dialout), then log out and in "
                          "again.")
        .arg(denied.size() == 1 ? QStringLiteral("port") : QStringLiteral("ports"),
             named.join(QStringLiteral(", ")));
}

} // namespace

// Start-up discovery. Window events are handled while a port is waited for, but the
// load handler keeps the window disabled until discovery has ended.
bool frmUSB_Main::Find_Controller() {
    int found = 0;
    QEventLoop scanning;
    Finder_.start(allPorts(), [&](int port) {
        found = port;
        scanning.quit();
    });
    if (Finder_.isRunning())
        scanning.exec();
    if (found == 0) {
        // No module: leave no port selected, so that nothing is ever written to
        // whatever other device sits on the last port probed.
        MSComm1.selectPort(0);
        return false;
    }
    Take_Link(found);
    return true;
}

QString frmUSB_Main::No_Controller_Message() const {
    return QStringLiteral("No Controller  detected") + deniedPortsHint(Finder_.deniedPorts());
}

void frmUSB_Main::Take_Link(int port) {
    setWindowTitle(Application_Title + QStringLiteral(" USB IO on port ") + QString::number(port));
    MSComm1.selectPort(port);
    Module_Device_ = MSComm1.portName();
    MSComm1.setFlowControlNone();
    MSComm1.setRequestToSend(true);
    // A failure here is not reported: the link stays closed and is retried.
    if (MSComm1.open())
        protocol::writePortDirections(MSComm1);
}

// The link closed itself: the device went away. At rest and with the gate up the window
// waits for the module (the start button is locked meanwhile); a running start goes on
// by its timers. A hold by the external button can no longer be released by that
// button, so it becomes a hold on screen.
void frmUSB_Main::Link_Lost() {
    if (Finder_.isRunning())
        return; // a probed port went away: the finder moves on by itself
    if (Window_start_button->text() == caption::Delayed_Externally) {
        Window_start_button->setText(caption::Click_To_Continue);
        Window_start_button->setEnabled(true);
    }
    Retry_Count_ = 0;
    setTimerEnabled(Link_Retry, true);
    Show_Link_State();
}

void frmUSB_Main::Link_Retry_Timer() {
    if (MSComm1.isOpen()) {
        setTimerEnabled(Link_Retry, false);
        return;
    }
    if (Loading_ || Finder_.isRunning())
        return;
    ++Retry_Count_;
    const int ownPort = portOf(MSComm1, Module_Device_);
    QList<int> ports;
    if (ownPort != 0 && Retry_Count_ <= Own_Port_Tries)
        ports << ownPort;
    else if (Retry_Count_ % Rescan_Every == 0)
        ports = allPorts();
    else if (ownPort != 0)
        ports << ownPort;
    if (ports.isEmpty())
        return;
    Finder_.start(
        ports,
        [this](int found) {
            if (found != 0)
                Module_Back(found);
            else
                MSComm1.selectPort(0);
        },
        ModuleFinder::Probe_Wait_Ms);
}

// The module answers again. At rest the window returns to its ready state; with the gate
// up the window checks that it still is; during the cadence the link is only set up
// again, and the start's own end brings the ready state at its usual time.
void frmUSB_Main::Module_Back(int port) {
    Take_Link(port);
    if (!MSComm1.isOpen())
        return;
    setTimerEnabled(Link_Retry, false);
    const QString state = Window_start_button->text();
    if (state == caption::Put_Up_Gate)
        Set_Ready_State();
    else if (state == caption::Start)
        Check_Gate_After_Recovery();
    Show_Link_State();
}

// A module that lost its power comes back with every output off: the gate has fallen
// and the start must begin again with a new raise. The gate is never raised again from
// here: a rider may be at it.
void frmUSB_Main::Check_Gate_After_Recovery() {
    const std::optional<quint8> portA =
        protocol::readTransaction(MSComm1, protocol::Port_A, Recovery_Read_Wait_Ms);
    if (portA && Gate < 8 && (*portA & (1u << Gate)) == 0)
        Set_Ready_State();
}

void frmUSB_Main::Show_Link_State() {
    const bool connected = MSComm1.isOpen() && !Finder_.isRunning();
    Link_Status->setVisible(!connected && !Loading_);
    if (!connected)
        setWindowTitle(Application_Title);
    // Without the module the gate is neither raised nor started.
    const QString state = Window_start_button->text();
    if (state == caption::Put_Up_Gate || state == caption::Start)
        Window_start_button->setEnabled(connected && !Gate_up_timer.isActive());
}

bool frmUSB_Main::Send_Command(const QByteArray& command) {
    // While discovery owns the link nothing else may go out on it; a closed link
    // sends nothing and reports nothing.
    if (Finder_.isRunning() || !MSComm1.isOpen())
        return false;
    return MSComm1.write(command);
}

// Line numbers are kept within 0..255 by the settings load, so the cast is exact.
bool frmUSB_Main::Gate_Up() {
    return Send_Command(protocol::lineCommand(protocol::Line_On, quint8(Gate)));
}
bool frmUSB_Main::Gate_Down() {
    return Send_Command(protocol::lineCommand(protocol::Line_Off, quint8(Gate)));
}
bool frmUSB_Main::Red_On() {
    return Send_Command(protocol::lineCommand(protocol::Line_On, quint8(Red)));
}
bool frmUSB_Main::Red_Off() {
    return Send_Command(protocol::lineCommand(protocol::Line_Off, quint8(Red)));
}
bool frmUSB_Main::Orange_On() {
    return Send_Command(protocol::lineCommand(protocol::Line_On, quint8(Orange)));
}
bool frmUSB_Main::Orange_Off() {
    return Send_Command(protocol::lineCommand(protocol::Line_Off, quint8(Orange)));
}
bool frmUSB_Main::Green_On() {
    return Send_Command(protocol::lineCommand(protocol::Line_On, quint8(Green)));
}
bool frmUSB_Main::Green_Off() {
    return Send_Command(protocol::lineCommand(protocol::Line_Off, quint8(Green)));
}

bool frmUSB_Main::Start_Pulse_On() {
    return Send_Command(
        protocol::lineCommand(protocol::Line_On, quint8(More_Settings.startPulseLine)));
}
bool frmUSB_Main::Start_Pulse_Off() {
    return Send_Command(
        protocol::lineCommand(protocol::Line_Off, quint8(More_Settings.startPulseLine)));
}

bool frmUSB_Main::Write_Port_A(quint8 value) {
    return Send_Command(protocol::writePortA(value));
}

std::optional<quint8> frmUSB_Main::Read_Port(char port, int waitMs, On_Failure onFailure) {
    const bool report = onFailure == On_Failure::Report;
    if (Finder_.isRunning() || !MSComm1.isOpen() || (report && Read_Timeout_Showing_))
        return std::nullopt;
    QElapsedTimer roundTrip;
    roundTrip.start();
    const std::optional<quint8> value = protocol::readTransaction(MSComm1, port, waitMs);
    Last_Read_Ns_ = roundTrip.nsecsElapsed();
    Last_Read_Failed_ = !value;
    // A device that went away mid-read closed the link: nothing to tell the operator.
    if (!value && report && MSComm1.isOpen()) {
        Read_Timeout_Showing_ = true;
        showMessage(this, {QStringLiteral("Read Timeout"), QStringLiteral("USB IO V3 ERROR"),
                           MessageIcon::Information});
        Read_Timeout_Showing_ = false;
    }
    return value;
}

int frmUSB_Main::Read_Block_Bound_Ms(int waitMs) const {
    if (Last_Read_Failed_ || Last_Read_Ns_ > Slow_Read_Ns)
        return waitMs;
    return int(2 * Last_Read_Ns_ / 1'000'000) + Read_Margin_Ms;
}

} // namespace korvane
