// The main window's side of the module's link: start-up discovery, what the window says
// while the module is away or its replies are garbled, and the "Read Timeout" message.
// The link itself runs on its own thread (io/link_engine); nothing here waits for it.
#include "app/frmUSB_Main.h"

#include "app/application.h"
#include "app/message_box.h"
#include "io/module_protocol.h"

#include <QEventLoop>
#include <QLabel>

namespace korvane {

namespace {

const QString Not_Connected = QStringLiteral("I/O module not connected — retrying");
const QString Garbled = QStringLiteral("I/O module replies are garbled — check its cable");

// Ports where a module could be but that this user may not open, and the fix.
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

// "Korvane USB IO on port 1". Port n is COMn on Windows; elsewhere it is the n-th serial
// device found, so the device itself is named too: it is what an operator can check.
QString titleFor(int port, const QString& device) {
    QString title = QStringLiteral("%1 USB IO on port %2").arg(Application_Title).arg(port);
#ifndef Q_OS_WIN
    if (!device.isEmpty())
        title += QStringLiteral(" (%1)").arg(device);
#else
    Q_UNUSED(device);
#endif
    return title;
}

} // namespace

void frmUSB_Main::wireLink() {
    const LinkEngine& engine = MSComm1.engine();
    connect(&engine, &LinkEngine::stateChanged, this, [this](LinkState state) {
        if (state == LinkState::Lost)
            startSequence.moduleLost();
        showLinkState();
    });
    connect(&engine, &LinkEngine::moduleReady, this, &frmUSB_Main::moduleReady);
    connect(&engine, &LinkEngine::sampled, &startSequence, &StartSequence::externalSample);
    connect(&engine, &LinkEngine::sampleFailed, &startSequence, &StartSequence::sampleFailed);
    connect(&engine, &LinkEngine::garbledChanged, this, [this](bool garbled) {
        garbled_ = garbled;
        showLinkState();
    });
}

// Start-up discovery: the window waits, locked, for the engine's first scan of every
// port. Window events are handled meanwhile.
bool frmUSB_Main::Find_Controller() {
    bool found = false;
    QEventLoop scanning;
    const auto connection = connect(&MSComm1.engine(), &LinkEngine::scanned, &scanning,
                                    [&](bool foundNow, const QStringList& denied) {
                                        found = foundNow;
                                        deniedPorts_ = denied;
                                        scanning.quit();
                                    });
    MSComm1.start();
    scanning.exec();
    disconnect(connection);
    return found;
}

QString frmUSB_Main::noControllerMessage(const QStringList& denied) const {
    return QStringLiteral("No Controller  detected") + deniedPortsHint(denied);
}

// The module answers on its link, its ports set up: at start-up the load handler goes on
// with it; later the start decides from what the module holds (port A, read back, with
// whatever this thread wrote since the engine told of it).
void frmUSB_Main::moduleReady(quint8 portA) {
    closeMessages(No_Controller_Key);
    if (!loading_)
        startSequence.moduleBack(MSComm1.portA().value_or(portA));
    showLinkState();
}

void frmUSB_Main::showLinkState() {
    const bool connected = MSComm1.connected();
    linkStatus->setText(connected ? Garbled : Not_Connected);
    linkStatus->setStyleSheet(connected ? QStringLiteral("color: black; background: #ffc040;")
                                        : QStringLiteral("color: white; background: #c00000;"));
    linkStatus->setVisible(!loading_ && (!connected || garbled_));
    setWindowTitle(connected ? titleFor(MSComm1.portNumber(), MSComm1.device())
                             : Application_Title);
    render();
}

bool frmUSB_Main::Write_Port_A(quint8 value) {
    return MSComm1.send(protocol::writePortA(value)).sent;
}

void frmUSB_Main::reportReadTimeout() {
    if (readTimeoutShowing_)
        return;
    readTimeoutShowing_ = true;
    showMessage(this, {QStringLiteral("Read Timeout"), QStringLiteral("USB IO V3 ERROR"),
                       MessageIcon::Information});
    readTimeoutShowing_ = false;
}

} // namespace korvane
