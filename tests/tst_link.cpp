// The serial link, the port catalogue and the module protocol, over a real
// QSerialPort against the virtual module.
#include "io/module_protocol.h"
#include "io/port_catalog.h"
#include "io/serial_link.h"
#include "tests/support/test_rig.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace korvane;

namespace {

std::unique_ptr<SerialLink> openLink(const QString& path) {
    auto link = std::make_unique<SerialLink>(PortCatalog::fromNames({path}));
    link->selectPort(1);
    if (!link->open())
        return nullptr;
    return link;
}

} // namespace

class LinkTest : public QObject {
    Q_OBJECT
private slots:
    void linuxDeviceNodesAreOrderedByGroupThenNumber();
    void absentPortsHaveNoName();
    void identificationNeedsCrLfAndExactCase_data();
    void identificationNeedsCrLfAndExactCase();
    void commandsReachTheModuleAsTheDocumentedBytes();

    void aSecondOpenOfAPortInUseFails();
    void unpluggedDeviceClosesTheLinkQuietly();
    void everyErrorOfAVanishedDeviceClosesTheLink_data();
    void everyErrorOfAVanishedDeviceClosesTheLink();
};

void LinkTest::linuxDeviceNodesAreOrderedByGroupThenNumber() {
    const QStringList entries = {"ttyS1",   "ttyUSB10", "tty0",    "ttyACM0",  "ttyUSB2", "ttyS0",
                                 "ttyUSB0", "ttySX1",   "console", "ttyACM11", "ttyACM3"};
    QCOMPARE(PortCatalog::orderLinuxDeviceNodes(entries),
             QStringList({"ttyUSB0", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyACM3", "ttyACM11",
                          "ttyS0", "ttyS1"}));
}

void LinkTest::absentPortsHaveNoName() {
    const PortCatalog catalog = PortCatalog::fromNames({"/dev/a", QString(), "/dev/c"});
    QCOMPARE(catalog.portName(1), QStringLiteral("/dev/a"));
    QVERIFY(catalog.portName(2).isEmpty());
    QCOMPARE(catalog.portName(3), QStringLiteral("/dev/c"));
    QVERIFY(catalog.portName(0).isEmpty());
    QVERIFY(catalog.portName(4).isEmpty());
}

void LinkTest::identificationNeedsCrLfAndExactCase_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("known");
    QTest::newRow("24R1") << QByteArray("USB I/O 24R1\r\n") << true;
    QTest::newRow("24f2") << QByteArray("USB I/O 24f2\r\n") << true;
    QTest::newRow("text before it") << QByteArray("x\r\nUSB I/O 24R1\r\nmore") << true;
    QTest::newRow("no CR LF") << QByteArray("USB I/O 24R1") << false;
    QTest::newRow("LF only") << QByteArray("USB I/O 24R1\n") << false;
    QTest::newRow("other case") << QByteArray("usb i/o 24r1\r\n") << false;
    QTest::newRow("24F2 upper case") << QByteArray("USB I/O 24F2\r\n") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void LinkTest::identificationNeedsCrLfAndExactCase() {
    QFETCH(QByteArray, reply);
    QFETCH(bool, known);
    QCOMPARE(protocol::isModuleIdentification(reply), known);
}

// What the module receives for each command, written out byte by byte: an expectation
// built from the program's own constants would follow a wrong letter.
void LinkTest::commandsReachTheModuleAsTheDocumentedBytes() {
    sim::VirtualModule module;
    QVERIFY(module.start());
    auto link = openLink(module.devicePath());
    QVERIFY(link);
    link->write(QByteArray(1, protocol::Identify));
    for (const QByteArray& command : protocol::portDirections())
        link->write(command);
    link->write(protocol::writePortA(0x00));
    link->write(protocol::lineCommand(protocol::Line_On, 0));
    link->write(protocol::lineCommand(protocol::Line_Off, 255));
    link->write(protocol::readPort(protocol::Port_B));
    QVERIFY(module.waitForCommands(8, 2000));
    QList<QByteArray> received;
    for (const sim::VirtualModule::Command& command : module.commands())
        received << command.bytes;
    QCOMPARE(received,
             QList<QByteArray>({QByteArray("\x3f", 1), QByteArray("\x21\x41\x00", 3),
                                QByteArray("\x21\x42\xff", 3), QByteArray("\x21\x43\xff", 3),
                                QByteArray("\x41\x00", 2), QByteArray("\x48\x00", 2),
                                QByteArray("\x4c\xff", 2), QByteArray("\x62", 1)}));
}

void LinkTest::aSecondOpenOfAPortInUseFails() {
    sim::VirtualModule module;
    QVERIFY(module.start());
    auto first = openLink(module.devicePath());
    QVERIFY(first);
    QVERIFY(!openLink(module.devicePath()));
    first->close();
    QVERIFY(openLink(module.devicePath())); // free again at once after close
}

void LinkTest::unpluggedDeviceClosesTheLinkQuietly() {
    QTemporaryDir dir;
    sim::VirtualModule module(dir.filePath("ttyUSB0"));
    QVERIFY(module.start());
    auto link = openLink(module.devicePath());
    QVERIFY(link);
    QSignalSpy lost(link.get(), &SerialLink::lost);
    module.unplug();

    const double cpuBefore = test::cpuSeconds();
    QTRY_VERIFY(!link->isOpen() || !link->write("b"));
    QTRY_VERIFY(!link->isOpen());
    QCOMPARE(lost.size(), 1);
    QTest::qWait(1000);
    QVERIFY2(test::cpuSeconds() - cpuBefore < 0.5, "a lost device makes the link spin");
    QVERIFY(!link->write("b"));
    QCOMPARE(link->bytesWaiting(), 0);

    QVERIFY(module.replug());
    QVERIFY(link->open()); // the same name reaches the module again
    module.setPort('b', 0x07);
    QVERIFY(link->write("b"));
    QTRY_COMPARE(link->bytesWaiting(), 1);
    QCOMPARE(link->readAllWaiting(), QByteArray("\x07", 1));
}

// A pseudo-terminal that goes away never raises a resource error, as a USB adapter
// does: the link's answer to each error code is checked directly.
void LinkTest::everyErrorOfAVanishedDeviceClosesTheLink_data() {
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("gone");
    QTest::newRow("resource (adapter unplugged)") << int(QSerialPort::ResourceError) << true;
    QTest::newRow("read") << int(QSerialPort::ReadError) << true;
    QTest::newRow("write") << int(QSerialPort::WriteError) << true;
    QTest::newRow("permission (Windows, unplugged)") << int(QSerialPort::PermissionError) << true;
    QTest::newRow("device not found") << int(QSerialPort::DeviceNotFoundError) << true;
    QTest::newRow("open") << int(QSerialPort::OpenError) << true;
    QTest::newRow("unknown") << int(QSerialPort::UnknownError) << true;
    QTest::newRow("timeout") << int(QSerialPort::TimeoutError) << false;
    QTest::newRow("unsupported (no RTS on a pty)")
        << int(QSerialPort::UnsupportedOperationError) << false;
    QTest::newRow("no error") << int(QSerialPort::NoError) << false;
}

void LinkTest::everyErrorOfAVanishedDeviceClosesTheLink() {
    QFETCH(int, error);
    QFETCH(bool, gone);
    sim::VirtualModule module;
    QVERIFY(module.start());
    auto link = openLink(module.devicePath());
    QVERIFY(link);
    QSignalSpy lost(link.get(), &SerialLink::lost);
    link->handleError(QSerialPort::SerialPortError(error));
    QCOMPARE(link->isOpen(), !gone);
    QCOMPARE(lost.size(), gone ? 1 : 0);
    link->handleError(QSerialPort::SerialPortError(error)); // repeated: no second signal
    QCOMPARE(lost.size(), gone ? 1 : 0);
}

QTEST_MAIN(LinkTest)
#include "tst_link.moc"
