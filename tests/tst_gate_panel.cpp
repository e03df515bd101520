// The demo's "Virtual start gate": how it names module commands, and that its lamps and
// buttons follow and drive the module's real lines (commands sent through the pty).
#include "app/lamp.h"
#include "sim/command_meaning.h"
#include "sim/gate_panel.h"
#include "sim/virtual_module.h"

#include <QLabel>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using korvane::sim::LineRoles;

namespace {

// Deliberately not the sample wiring, so a mix-up of lines shows.
LineRoles testRoles() {
    LineRoles roles;
    roles.gate = 5;
    roles.red = 1;
    roles.orange = 2;
    roles.green = 7;
    roles.startButton = 2;
    roles.finishBeam = 6;
    return roles;
}

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray result;
    for (int value : values)
        result.append(char(value));
    return result;
}

} // namespace

class GatePanelTest : public QObject {
    Q_OBJECT

private slots:
    void commandsReadInTheWordsOfTheStart_data();
    void commandsReadInTheWordsOfTheStart();
    void lampsFollowTheLinesTheModuleReceives();
    void buttonsHoldTheirInputLinesOnlyWhileDown();
};

void GatePanelTest::commandsReadInTheWordsOfTheStart_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("meaning");
    QTest::newRow("gate line on") << bytes({'H', 5}) << "gate up";
    QTest::newRow("gate line off") << bytes({'L', 5}) << "gate down";
    QTest::newRow("red on") << bytes({'H', 1}) << "red on";
    QTest::newRow("orange off") << bytes({'L', 2}) << "orange off";
    QTest::newRow("green on") << bytes({'H', 7}) << "green on";
    QTest::newRow("line 0 has no role here") << bytes({'H', 0}) << "line 0 on";
    QTest::newRow("line past port A") << bytes({'L', 200}) << "line 200 off";
    QTest::newRow("everything off") << bytes({'A', 0}) << "all port A lines off";
    QTest::newRow("port A byte") << bytes({'A', 0x2C}) << "port A := 2C";
    QTest::newRow("outputs") << bytes({'!', 'A', 0x00}) << "port A: all outputs";
    QTest::newRow("inputs") << bytes({'!', 'C', 0xFF}) << "port C: all inputs";
    QTest::newRow("read") << QByteArray("b") << "read port B";
    QTest::newRow("identify") << QByteArray("?") << "identify";
    QTest::newRow("line command cut short") << QByteArray("H") << "unknown command";
    QTest::newRow("stray byte") << QByteArray("z") << "unknown command";
}

void GatePanelTest::commandsReadInTheWordsOfTheStart() {
    QFETCH(QByteArray, command);
    QFETCH(QString, meaning);
    QCOMPARE(sim::commandMeaning(command, testRoles()), meaning);
}

void GatePanelTest::lampsFollowTheLinesTheModuleReceives() {
    QTemporaryDir dir;
    sim::VirtualModule module(dir.filePath(QStringLiteral("ttyUSB0")));
    sim::GatePanel panel(module);
    QVERIFY(module.start());
    panel.setRoles(testRoles());
    QSerialPort port(module.devicePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    for (const QByteArray& command : {bytes({'H', 5}), bytes({'H', 2})}) {
        port.write(command);
        QVERIFY(port.waitForBytesWritten(1000));
    }
    QTRY_VERIFY(panel.light(1)->isLit());
    QVERIFY(panel.gate()->isUp());
    QVERIFY(!panel.light(0)->isLit());
    QVERIFY(!panel.light(2)->isLit());
    QVERIFY(panel.line(5)->isLit());
    QVERIFY(panel.lastCommands()->text().contains(QStringLiteral("orange on")));

    port.write(bytes({'A', 0}));
    QVERIFY(port.waitForBytesWritten(1000));
    QTRY_VERIFY(!panel.gate()->isUp());
    QVERIFY(!panel.light(1)->isLit());
    QVERIFY(!panel.line(5)->isLit());
}

void GatePanelTest::buttonsHoldTheirInputLinesOnlyWhileDown() {
    QTemporaryDir dir;
    sim::VirtualModule module(dir.filePath(QStringLiteral("ttyUSB0")));
    sim::GatePanel panel(module);
    QVERIFY(module.start());
    panel.setRoles(testRoles());
    panel.show();

    // Port B line n is module line 8 + n.
    QTest::mousePress(panel.startButton(), Qt::LeftButton);
    QVERIFY(module.line(8 + 2));
    QVERIFY(panel.line(8 + 2)->isLit());
    QTest::mousePress(panel.finishBeamButton(), Qt::LeftButton);
    QCOMPARE(module.port('B'), quint8(1 << 2 | 1 << 6));
    QTest::mouseRelease(panel.startButton(), Qt::LeftButton);
    QCOMPARE(module.port('B'), quint8(1 << 6));
    QTest::mouseRelease(panel.finishBeamButton(), Qt::LeftButton);
    QCOMPARE(module.port('B'), quint8(0));
    QVERIFY(!panel.line(8 + 6)->isLit());
    QCOMPARE(module.port('A'), quint8(0)); // nothing leaks onto the outputs
}

QTEST_MAIN(GatePanelTest)
#include "tst_gate_panel.moc"
