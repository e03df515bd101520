// The main window's side of the module link: discovery, the output operations and
// the read transaction with its failure message.
#include "app/frmUSB_Main.h"

#include "app/message_box.h"
#include "io/module_protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace korvane {

namespace {

constexpr int First_Port = 1;
constexpr int Last_Port = 16;
constexpr int Probe_Wait_Ms = 20;

// Waits at least `ms` on a monotonic clock while window events keep being handled.
void Wait_Handling_Events(int ms) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (elapsed.elapsed() < ms)
            QThread::usleep(500);
    }
}

} // namespace

bool frmUSB_Main::Find_Controller() {
    int found = 0;
    Scanning_ = true;
    for (int n = First_Port; n <= Last_Port && found == 0; ++n) {
        MSComm1.selectPort(n);
        MSComm1.applySettings(QStringLiteral("9600,N,8,1"));
        // Reads always return everything waiting, byte for byte: no read length or
        // input mode to set on this link.
        if (!MSComm1.open())
            continue;
        MSComm1.write(QByteArray(1, protocol::Identify));
        Wait_Handling_Events(Probe_Wait_Ms);
        const QByteArray reply = MSComm1.readAllWaiting();
        MSComm1.close();
        if (protocol::isModuleIdentification(reply))
            found = n;
    }
    Scanning_ = false;

    if (found == 0) {
        // No module: leave no port selected, so that the ready state later never opens
        // and writes to whatever other device sits on the last port probed.
        MSComm1.selectPort(0);
        return false;
    }

    setWindowTitle(windowTitle() + QStringLiteral(" USB IO on port ") + QString::number(found));
    MSComm1.selectPort(found);
    MSComm1.setFlowControlNone();
    MSComm1.setRequestToSend(true);
    MSComm1.applySettings(QStringLiteral("9600,n,8,1"));
    MSComm1.open(); // a failure here is not reported; the ready state tries again
    protocol::writePortDirections(MSComm1);
    return true;
}

void frmUSB_Main::Send_Command(const QByteArray& command) {
    // While discovery owns the link nothing else may go out on it; a closed link
    // sends nothing and reports nothing.
    if (Scanning_ || !MSComm1.isOpen())
        return;
    MSComm1.write(command);
}

// Line numbers are kept within 0..255 by the settings load, so the cast is exact.
void frmUSB_Main::Gate_Up() {
    Send_Command(protocol::lineCommand(protocol::LineOn, quint8(Gate)));
}
void frmUSB_Main::Gate_Down() {
    Send_Command(protocol::lineCommand(protocol::LineOff, quint8(Gate)));
}
void frmUSB_Main::Red_On() {
    Send_Command(protocol::lineCommand(protocol::LineOn, quint8(Red)));
}
void frmUSB_Main::Red_Off() {
    Send_Command(protocol::lineCommand(protocol::LineOff, quint8(Red)));
}
void frmUSB_Main::Orange_On() {
    Send_Command(protocol::lineCommand(protocol::LineOn, quint8(Orange)));
}
void frmUSB_Main::Orange_Off() {
    Send_Command(protocol::lineCommand(protocol::LineOff, quint8(Orange)));
}
void frmUSB_Main::Green_On() {
    Send_Command(protocol::lineCommand(protocol::LineOn, quint8(Green)));
}
void frmUSB_Main::Green_Off() {
    Send_Command(protocol::lineCommand(protocol::LineOff, quint8(Green)));
}

void frmUSB_Main::Write_Port_A(quint8 value) {
    Send_Command(protocol::writePortA(value));
}

std::optional<quint8> frmUSB_Main::Read_Port(char port, int waitMs) {
    if (Scanning_ || Read_Timeout_Showing_ || !MSComm1.isOpen())
        return std::nullopt;
    const std::optional<quint8> value = protocol::readTransaction(MSComm1, port, waitMs);
    // A device that went away mid-read closed the link: nothing to tell the operator.
    if (!value && MSComm1.isOpen()) {
        Read_Timeout_Showing_ = true;
        showMessage(this, {QStringLiteral("Read Timeout"), QStringLiteral("USB IO V3 ERROR"),
                           MessageIcon::Information});
        Read_Timeout_Showing_ = false;
    }
    return value;
}

} // namespace korvane
