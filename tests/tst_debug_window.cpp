// The I/O debug window on the real main window and link, against the virtual module.
#include "dialogs/frmDebug_window.h"
#include "tests/support/start_helpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <atomic>

using namespace korvane;
using namespace korvane::test;

namespace {

// The main window with an open link to a virtual module whose replies can be cut off
// from a chosen command on, and its debug window with the polling stopped, so that
// each test drives the refreshes itself.
class Bench {
public:
    Bench()
        : module(dir.filePath(QStringLiteral("ttyUSB1"))) {
        module.setOnCommand([this](const sim::VirtualModule::Command& command) {
            const char after = silentAfter.load();
            if (after != 0 && command.bytes == QByteArray(1, after))
                module.setSilent(true);
        });
        if (!module.start())
            qFatal("cannot start the virtual module");
        window =
            std::make_unique<frmUSB_Main>(PortCatalog::fromNames({module.devicePath()}),
                                          std::make_unique<RecordingSoundPlayer>(), dir.path());
        window->endProgram = [] {};
        window->Form_Load();
        window->stepsOnTime.disarm(StartStep::Ready);
        window->Debug_io_Click();
        debug = window->debugWindow;
        debug->IO_polling.stop();
        QTest::qWait(50);
        module.clearCommands();
    }

    // One refresh, to its end.
    void refresh() {
        debug->IO_polling_Timer();
        QTRY_VERIFY(!debug->refreshing());
    }

    // What the module was sent, but the reads of port B that the link makes all the time:
    // one of them may be a refresh's, so port B's read counts only as the middle one.
    QStringList debugReads() const {
        QStringList reads = described(module);
        reads.removeAll(QStringLiteral("b"));
        return reads;
    }

    void setPorts(quint8 a, quint8 b, quint8 c) {
        module.setPort('a', a);
        module.setPort('b', b);
        module.setPort('c', c);
    }

    // Bit n of the result is set when box n is ticked.
    static quint8 shown(const std::array<QCheckBox*, 8>& boxes) {
        quint8 value = 0;
        for (int n = 0; n < 8; ++n)
            value |= quint8(boxes[n]->isChecked() ? 1 << n : 0);
        return value;
    }
    QList<quint8> shownPorts() const {
        return {shown(debug->CheckA), shown(debug->CheckB), shown(debug->CheckC)};
    }

    QTemporaryDir dir;
    std::atomic<char> silentAfter{0}; // the module goes silent after this command
    sim::VirtualModule module;
    std::unique_ptr<frmUSB_Main> window;
    QPointer<frmDebug_window> debug;
};

} // namespace

class DebugWindowTest : public QObject {
    Q_OBJECT
private slots:
    void boxesAreLaidOutLikeTheConnector_data();
    void boxesAreLaidOutLikeTheConnector();
    void windowHasItsCaptionsPlaceAndPolling();
    void refreshShowsEachLineOfTheThreePorts();
    void failureOnPortBChangesNoBoxAndLeavesPortCUnread();
    void failureMessagesDoNotPileUp();
    void boxClickedByTheUserReturnsAtTheNextRefresh();
    void vccAndGroundNeverChange();
    void pollingFollowsTheLinesAndStopsWhenClosed();
    void refreshGoesOnThroughAStartWithAHealthyModule();
    void sendWritesTheValueToPortA_data();
    void sendWritesTheValueToPortA();
    void refusedEntryIsEchoedAsPlainShortText();
    void screenshot();
};

void DebugWindowTest::boxesAreLaidOutLikeTheConnector_data() {
    // Connector pins, in pixels within each frame: Vcc 7 / 6 5 / 4 3 / 2 1 / 0 Ground.
    QTest::addColumn<int>("line");
    QTest::addColumn<QPoint>("place");
    const QPoint places[8] = {{8, 80}, {56, 64}, {8, 64}, {56, 48},
                              {8, 48}, {56, 32}, {8, 32}, {56, 16}};
    for (int line = 0; line < 8; ++line)
        QTest::addRow("line %d", line) << line << places[line];
}

void DebugWindowTest::boxesAreLaidOutLikeTheConnector() {
    QFETCH(int, line);
    QFETCH(QPoint, place);
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->Debug_io_Click();
    frmDebug_window* debug = w->debugWindow;
    const std::array<QCheckBox*, 8>* ports[3] = {&debug->CheckA, &debug->CheckB, &debug->CheckC};
    const QString captions[3] = {QStringLiteral("A %1"), QStringLiteral("B %1"),
                                 QStringLiteral("C%1")};
    for (int p = 0; p < 3; ++p) {
        QCheckBox* box = (*ports[p])[line];
        QCOMPARE(box->text(), captions[p].arg(line));
        QCOMPARE(box->parentWidget(), debug->Port_Frame[p]);
        QCOMPARE(box->pos(), place);
        QVERIFY(box->isEnabled());
    }
}

void DebugWindowTest::windowHasItsCaptionsPlaceAndPolling() {
    ModuleRig rig;
    WindowUnderTest w(rig);
    w->Debug_io_Click();
    frmDebug_window* debug = w->debugWindow;
    QVERIFY(debug->isVisible());
    QCOMPARE(debug->windowTitle(), QStringLiteral("Debug Window"));
    QCOMPARE(debug->size(), QSize(282, 428));
    QVERIFY(debug->windowFlags() & Qt::WindowStaysOnTopHint);
    QCOMPARE(debug->pos(), QPoint(600, 50));
    const QString frames[3] = {"Port A", "Port B", "Port C"};
    const int tops[3] = {8, 120, 232};
    for (int p = 0; p < 3; ++p) {
        QCOMPARE(debug->Port_Frame[p]->title(), frames[p]);
        QCOMPARE(debug->Port_Frame[p]->geometry(), QRect(80, tops[p], 121, 105));
        QCOMPARE(debug->Vcc[p]->text(), QStringLiteral("Vcc"));
        QCOMPARE(debug->Ground[p]->text(), QStringLiteral("Ground"));
        QCOMPARE(debug->Vcc[p]->pos(), QPoint(8, 16));
        QCOMPARE(debug->Ground[p]->pos(), QPoint(56, 80));
        QVERIFY(!debug->Vcc[p]->isEnabled());
        QVERIFY(!debug->Ground[p]->isEnabled());
    }
    QCOMPARE(debug->Output_label->text(),
             QStringLiteral("Output value             0 = all Data OFF    255 = all Data ON"));
    QVERIFY(debug->Output_label->wordWrap());
    QCOMPARE(debug->IO_value->text(), QStringLiteral("0"));
    QCOMPARE(debug->Test_par_port_io->text(), QStringLiteral("Send"));
    QVERIFY(debug->IO_polling.isActive());
    QCOMPARE(debug->IO_polling.interval(), 100);

    w->Debug_io_Click(); // open already: the same window
    QCOMPARE(w->debugWindow.data(), debug);
    QCOMPARE(w->findChildren<frmDebug_window*>().size(), 1);
}

void DebugWindowTest::refreshShowsEachLineOfTheThreePorts() {
    Bench bench;
    bench.setPorts(0x00, 0xFF, 0x05);
    bench.refresh();
    QCOMPARE(bench.shownPorts(), QList<quint8>({0x00, 0xFF, 0x05}));
    QVERIFY(bench.debug->CheckC[0]->isChecked() && bench.debug->CheckC[2]->isChecked());
    QCOMPARE(bench.debugReads(), QStringList({"a", "c"})); // reads only

    bench.setPorts(0xA5, 0x00, 0x80);
    bench.refresh();
    QCOMPARE(bench.shownPorts(), QList<quint8>({0xA5, 0x00, 0x80}));
}

void DebugWindowTest::failureOnPortBChangesNoBoxAndLeavesPortCUnread() {
    Bench bench;
    MessageRecorder recorder;
    bench.setPorts(0x0F, 0xF0, 0x3C);
    bench.refresh();
    QCOMPARE(bench.shownPorts(), QList<quint8>({0x0F, 0xF0, 0x3C}));
    bench.module.clearCommands();

    bench.setPorts(0xFF, 0x00, 0x00);
    bench.silentAfter = 'a'; // port A answers, port B does not
    bench.refresh();
    QTRY_COMPARE(recorder.messages.size(), 1);
    QCOMPARE(recorder.messages[0].text, QStringLiteral("Read Timeout"));
    QCOMPARE(recorder.messages[0].title, QStringLiteral("USB IO V3 ERROR"));
    QCOMPARE(bench.shownPorts(), QList<quint8>({0x0F, 0xF0, 0x3C})); // not even port A
    QTest::qWait(500);
    QCOMPARE(bench.debugReads(), QStringList({"a"})); // port C is never asked for

    // The next refresh starts again from port A.
    bench.silentAfter = 0;
    bench.module.setSilent(false);
    bench.module.clearCommands();
    QTest::qWait(300); // the late wait after the failure
    bench.refresh();
    QCOMPARE(bench.shownPorts(), QList<quint8>({0xFF, 0x00, 0x00}));
    QCOMPARE(bench.debugReads(), QStringList({"a", "c"}));
}

void DebugWindowTest::failureMessagesDoNotPileUp() {
    Bench bench;
    MessageRecorder recorder;
    bench.module.setSilent(true);
    // While the message is open the polling goes on (and so do the start button's reads);
    // their failures open no other box. After OK one may come again.
    int open = 0;
    int most = 0;
    recorder.whileOpen = [&](const Message&) {
        most = std::max(most, ++open);
        QTest::qWait(1500);
        bench.debug->IO_polling.stop();
        --open;
    };
    bench.debug->IO_polling.start();
    QTRY_VERIFY(!recorder.messages.isEmpty());
    QTRY_VERIFY(!bench.debug->IO_polling.isActive());
    QVERIFY(bench.debugReads().count(QStringLiteral("a")) >= 2); // it went on meanwhile
    QCOMPARE(most, 1);
}

void DebugWindowTest::boxClickedByTheUserReturnsAtTheNextRefresh() {
    Bench bench;
    bench.setPorts(0x08, 0x00, 0x00);
    bench.refresh();
    bench.debug->show();
    QVERIFY(QTest::qWaitForWindowExposed(bench.debug));
    QTest::mouseClick(bench.debug->CheckA[3], Qt::LeftButton);
    QTest::mouseClick(bench.debug->CheckB[6], Qt::LeftButton);
    QVERIFY(!bench.debug->CheckA[3]->isChecked());
    QVERIFY(bench.debug->CheckB[6]->isChecked());
    QCOMPARE(bench.debugReads(), QStringList({"a", "c"})); // a click sends nothing
    bench.refresh();
    QCOMPARE(bench.shownPorts(), QList<quint8>({0x08, 0x00, 0x00}));
}

void DebugWindowTest::vccAndGroundNeverChange() {
    Bench bench;
    for (quint8 value : {0xFF, 0x00, 0x81}) {
        bench.setPorts(value, value, value);
        bench.refresh();
        for (int p = 0; p < 3; ++p) {
            QVERIFY(!bench.debug->Vcc[p]->isChecked());
            QVERIFY(!bench.debug->Ground[p]->isChecked());
            QVERIFY(!bench.debug->Vcc[p]->isEnabled());
            QVERIFY(!bench.debug->Ground[p]->isEnabled());
        }
    }
}

void DebugWindowTest::pollingFollowsTheLinesAndStopsWhenClosed() {
    Bench bench;
    bench.debug->IO_polling.start();
    bench.setPorts(0x01, 0x02, 0x04);
    QTRY_COMPARE(bench.shownPorts(), QList<quint8>({0x01, 0x02, 0x04}));
    bench.setPorts(0x10, 0x20, 0x40);
    QTRY_COMPARE(bench.shownPorts(), QList<quint8>({0x10, 0x20, 0x40}));

    bench.debug->close();
    QTRY_VERIFY(bench.debug.isNull()); // unloaded
    QVERIFY(bench.window->debugWindow.isNull());
    QTest::qWait(100);
    bench.module.clearCommands();
    QTest::qWait(400);
    QCOMPARE(bench.debugReads(), QStringList{});

    // Opening again loads it again, polling included.
    bench.window->Debug_io_Click();
    QVERIFY(bench.window->debugWindow);
    QVERIFY(bench.window->debugWindow->IO_polling.isActive());
    QTRY_VERIFY(bench.debugReads().size() >= 2);
}

void DebugWindowTest::sendWritesTheValueToPortA_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("sent"); // empty: nothing may be sent
    QTest::newRow("0") << "0"
                       << "A 00";
    QTest::newRow("255") << "255"
                         << "A FF";
    QTest::newRow("5") << "5"
                       << "A 05";
    QTest::newRow("leading zero") << "010"
                                  << "A 0A";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank") << "  "
                           << "";
    QTest::newRow("text") << "abc"
                          << "";
    QTest::newRow("256") << "256"
                         << "";
    QTest::newRow("-1") << "-1"
                        << "";
    QTest::newRow("fraction") << "3.5"
                              << "";
    QTest::newRow("hex") << "0x05"
                         << "";
    QTest::newRow("far too big") << "99999999999999999999"
                                 << "";
}

void DebugWindowTest::sendWritesTheValueToPortA() {
    QFETCH(QString, text);
    QFETCH(QString, sent);
    Bench bench;
    MessageRecorder recorder;
    bench.module.setPort('a', 0x5A);
    bench.debug->IO_value->setText(text);
    QTest::mouseClick(bench.debug->Test_par_port_io, Qt::LeftButton);
    if (sent.isEmpty()) {
        QCOMPARE(recorder.messages.size(), 1);
        QVERIFY(recorder.messages[0].text.contains(QStringLiteral("0 to 255")));
        // Commands reach the module in order: once a good value's has, a refused one's
        // would have too.
        bench.debug->IO_value->setText(QStringLiteral("7"));
        QTest::mouseClick(bench.debug->Test_par_port_io, Qt::LeftButton);
        QTRY_VERIFY(!bench.debugReads().isEmpty());
        QCOMPARE(bench.debugReads(), QStringList{QStringLiteral("A 07")});
    } else {
        QVERIFY(recorder.messages.isEmpty());
        QTRY_VERIFY(!bench.debugReads().isEmpty());
        QTest::qWait(100);
        QCOMPARE(bench.debugReads(), QStringList({sent}));
        QCOMPARE(bench.module.port('a'), quint8(sent.mid(2).toUInt(nullptr, 16)));
    }
}

// Typed markup is said back as typed, in the real message box, and a long paste is cut.
void DebugWindowTest::refusedEntryIsEchoedAsPlainShortText() {
    Bench bench;
    const MessageHandler previous = messageHandler();
    setMessageHandler({}); // the real modal box
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            format = box->textFormat();
            box->accept();
        }
    });
    closer.start(10);
    bench.debug->IO_value->setText(QStringLiteral("<b>x</b>") + QString(32000, QLatin1Char('9')));
    QTest::mouseClick(bench.debug->Test_par_port_io, Qt::LeftButton);
    setMessageHandler(previous);
    QCOMPARE(format, Qt::PlainText);
    QVERIFY2(shown.startsWith(QStringLiteral("\"<b>x</b>999")), qPrintable(shown));
    QVERIFY2(shown.size() < 120, qPrintable(QString::number(shown.size())));
}

// An administrator watches the gate and light lines change during a start: with a module
// that answers, a refresh costs a few round trips and never waits for a far step.
void DebugWindowTest::refreshGoesOnThroughAStartWithAHealthyModule() {
    StartRig rig;
    QVERIFY(rig.load());
    // Not a multiple of the refresh's 100 ms, so the two cannot stay in step.
    rig->HScroll1->setValue(250);
    rig->startSequence.setIntervals({300, 150, 150, 10000});
    rig->Debug_io_Click();
    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
    rig->Window_start_button_Click();
    QVERIFY(runUntil([&] { return rig.outputStampNs(QStringLiteral("H 03"), 1) > 0; }, 3000));
    const qint64 beep1 = rig.outputStampNs(QStringLiteral("H 01"));
    const qint64 beep4 = rig.outputStampNs(QStringLiteral("H 03"), 1);
    int refreshes = 0;
    for (const sim::VirtualModule::Command& command : rig.module().commands())
        refreshes += command.bytes == "a" && command.atNs > beep1 && command.atNs < beep4;
    QVERIFY2(refreshes >= 1, "no refresh between the first and the last beep");
    QVERIFY2((beep4 - beep1) / 1000000 <= 3 * 250 + 30,
             qPrintable(QString::number((beep4 - beep1) / 1000000)));
    QVERIFY(rig.messages().messages.isEmpty());
}

// With KORVANE_SCREENSHOT_DIR set (under Xvfb), saves debug-window.png there.
void DebugWindowTest::screenshot() {
    const QString folder = qEnvironmentVariable("KORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        QSKIP("KORVANE_SCREENSHOT_DIR not set");
    Bench bench;
    bench.setPorts(0x05, 0x01, 0x00); // gate and a light up; the start button pressed
    bench.refresh();
    QVERIFY(QTest::qWaitForWindowExposed(bench.debug));
    QTest::qWait(200);
    QVERIFY(bench.debug->grab().save(QDir(folder).filePath("debug-window.png")));
}

QTEST_MAIN(DebugWindowTest)
#include "tst_debug_window.moc"
