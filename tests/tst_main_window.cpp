// Start-up: discovery over the real serial path, the set-up bytes, the ready state
// and the window's layout.
#include "app/application.h"
#include "app/lamp.h"
#include "dialogs/frmAbout.h"
#include "dialogs/frmDebug_window.h"
#include "dialogs/frmLogin.h"
#include "dialogs/passwords_dialog.h"
#include "sequence/trigger_table.h"
#include "sim/event_loop.h"
#include "tests/support/test_rig.h"

#include <QAction>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSerialPort>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using korvane::test::clippedCaptions;
using korvane::test::commands;
using korvane::test::described;

namespace {
// The identification, the port set-up, and port A read back before anything else.
const QStringList Setup_Bytes = {"?", "! A 00", "! B FF", "! C FF", "a"};

QString titleOn(int port, const sim::VirtualModule& module) {
    return QStringLiteral("Korvane USB IO on port %1 (%2)").arg(port).arg(module.devicePath());
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void moduleOnPort1IsFoundAtTheFirstProbe();
    void moduleOnPort16IsFoundBehindAbsentBusyAndSilentPorts();
    void identificationReplies_data();
    void identificationReplies();
    void moduleBehindAPacedLineIsFound_data();
    void moduleBehindAPacedLineIsFound();
    void portThatMayNotBeOpenedIsNamedWithTheFix();
    void twoModulesTheLowerPortWins();
    void noModuleShowsOneMessageAndLeavesTheWindowAsDesigned();
    void noModuleReadyStateOpensNothing();
    void noControllerBoxClosesWhenTheModuleIsFound();

    void readyStateForOperatorAndAdministrator_data();
    void readyStateForOperatorAndAdministrator();
    void readyStateWritesEveryCallAndStopsRestartDelay();
    void readFailureShowsOneMessageAtATimeAndNoneWhileAway();
    void unpluggedModuleIsTakenBackAtRest();

    void controlsNeitherOverlapNorLeaveTheirFrames();
    void everyCaptionFitsItsControl();
    void aRecorderThatEndsLeavesTheOneBeforeIt();
    void screenshots();
};

void MainWindowTest::moduleOnPort1IsFoundAtTheFirstProbe() {
    test::ModuleRig rig;
    auto& first = rig.addModule(1);
    auto& second = rig.addModule(2);
    test::WindowUnderTest w(rig);
    w.writeConfig(test::trackConfig());
    test::MessageRecorder messages;
    w->Form_Load();
    QCOMPARE(w->windowTitle(), titleOn(1, first));
    QVERIFY(w->MSComm1.connected());
    QVERIFY(first.waitForCommands(6, 2000));
    QCOMPARE(commands(first).mid(0, 6), Setup_Bytes + QStringList{"A 00"});
    QCOMPARE(first.direction('a'), quint8(0x00));
    QCOMPARE(first.direction('b'), quint8(0xFF));
    QVERIFY(second.commands().isEmpty());
    QVERIFY(messages.messages.isEmpty());
}

void MainWindowTest::moduleOnPort16IsFoundBehindAbsentBusyAndSilentPorts() {
    test::ModuleRig rig;
    auto& busy = rig.addModule(3);
    auto& silent = rig.addSilentDevice(5);
    auto& module = rig.addModule(16);
    // Port 3 is held open by another program.
    QSerialPort other(busy.devicePath());
    QVERIFY(other.open(QIODevice::ReadWrite));

    test::WindowUnderTest w(rig);
    test::MessageRecorder messages;
    w->Form_Load();
    QCOMPARE(w->windowTitle(), titleOn(16, module));
    QVERIFY(busy.commands().isEmpty());
    QCOMPARE(described(silent), QStringList{"?"});
    QVERIFY(module.waitForCommands(6, 2000));
    QCOMPARE(commands(module).mid(0, 6), Setup_Bytes + QStringList{"A 00"});
}

void MainWindowTest::identificationReplies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("splitAfter"); // bytes of the first piece; 0: whole
    QTest::addColumn<int>("restMs");     // the rest comes this much later
    QTest::addColumn<bool>("found");
    const QByteArray id("USB I/O 24R1\r\n");
    QTest::newRow("24R1") << id << 0 << 0 << 0 << true;
    QTest::newRow("24f2") << QByteArray("USB I/O 24f2\r\n") << 0 << 0 << 0 << true;
    QTest::newRow("stray text before")
        << QByteArray("\x07junk USB I/O 24f2\r\n") << 0 << 0 << 0 << true;
    QTest::newRow("without CR LF") << QByteArray("USB I/O 24R1") << 0 << 0 << 0 << false;
    QTest::newRow("other letter case") << QByteArray("usb i/o 24r1\r\n") << 0 << 0 << 0 << false;
    // A slow adapter on a loaded machine: found at start-up, no box.
    QTest::newRow("40 ms late") << id << 40 << 0 << 0 << true;
    QTest::newRow("too late for the probe") << id << 150 << 0 << 0 << false;
    // A 16 ms latency timer: the line begins within the probe's wait and ends at 31 ms.
    QTest::newRow("split by an adapter") << id << 16 << 12 << 15 << true;
    QTest::newRow("begun, ended too late") << id << 0 << 5 << 250 << false;
}

void MainWindowTest::identificationReplies() {
    QFETCH(QByteArray, reply);
    QFETCH(int, delayMs);
    QFETCH(int, splitAfter);
    QFETCH(int, restMs);
    QFETCH(bool, found);
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    module.setIdentification(reply);
    module.setReplyDelayMs(delayMs);
    module.setSplitReply(splitAfter, restMs);
    test::WindowUnderTest w(rig);
    w.writeConfig(test::trackConfig());
    test::MessageRecorder messages;
    w->Form_Load();
    QCOMPARE(w->windowTitle(), found ? titleOn(1, module) : QStringLiteral("Korvane"));
    QCOMPARE(messages.messages.size(), found ? 0 : 1);
}

void MainWindowTest::moduleBehindAPacedLineIsFound_data() {
    QTest::addColumn<int>("latencyMs");
    // The identification comes a byte or two at a time, as the bytes come off the wire.
    QTest::newRow("1 ms adapter") << 1;
    // All of it 18 ms after the "?" was written: just inside the probe's first wait.
    QTest::newRow("16 ms adapter") << 16;
}

void MainWindowTest::moduleBehindAPacedLineIsFound() {
    QFETCH(int, latencyMs);
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    module.setPacing({true, latencyMs});
    test::WindowUnderTest w(rig);
    w.writeConfig(test::trackConfig());
    test::MessageRecorder messages;
    w->Form_Load();
    QCOMPARE(w->windowTitle(), titleOn(1, module));
    QVERIFY(messages.messages.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(commands(module).mid(0, 6), Setup_Bytes + QStringList{"A 00"}, 2000);
}

// A USB serial port this user may not open is named with the fix; a built-in serial port
// (ttyS), root's only on many machines, is no place for the module and is not named.
void MainWindowTest::portThatMayNotBeOpenedIsNamedWithTheFix() {
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    QTemporaryDir dir;
    sim::VirtualModule builtIn(dir.filePath(QStringLiteral("ttyS0")));
    QVERIFY(builtIn.start());
    test::WindowUnderTest w(rig);
    w.window = std::make_unique<frmUSB_Main>(
        PortCatalog::fromNames({module.devicePath(), builtIn.devicePath()}),
        std::make_unique<test::RecordingSoundPlayer>(), w.programFolder.path());
    test::MessageRecorder messages;
    // Root opens every device: the load runs as an ordinary user, who may not.
    for (const sim::VirtualModule* denied : {&module, &builtIn})
        QVERIFY(::chmod(QFile::encodeName(denied->slavePath()).constData(), 0600) == 0);
    const bool root = ::geteuid() == 0;
    if (root)
        QVERIFY(::seteuid(65534) == 0);
    w->Form_Load();
    if (root)
        QVERIFY(::seteuid(0) == 0);
    // The first message; that user may not read config.dat either, which comes next.
    QVERIFY(!messages.messages.isEmpty());
    const QString text = messages.messages[0].text;
    QVERIFY2(text.startsWith(QStringLiteral("No Controller  detected")), qPrintable(text));
    QVERIFY2(text.contains(module.devicePath()), qPrintable(text));
    QVERIFY2(!text.contains(builtIn.devicePath()), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("dialout")), qPrintable(text));
}

void MainWindowTest::twoModulesTheLowerPortWins() {
    test::ModuleRig rig;
    auto& lower = rig.addModule(4);
    auto& higher = rig.addModule(9);
    test::WindowUnderTest w(rig);
    w->Form_Load();
    QCOMPARE(w->windowTitle(), titleOn(4, lower));
    QVERIFY(lower.waitForCommands(5, 2000));
    QVERIFY(higher.commands().isEmpty());
}

void MainWindowTest::noModuleShowsOneMessageAndLeavesTheWindowAsDesigned() {
    test::ModuleRig rig;
    rig.addSilentDevice(2);
    test::WindowUnderTest w(rig);
    // Read without a module too: the settings are needed when the module appears.
    w.writeConfig(test::trackConfig("300"));

    test::MessageRecorder messages;
    w->Form_Load();
    QCOMPARE(messages.messages.size(), 1);
    QCOMPARE(messages.messages[0].text, QStringLiteral("No Controller  detected"));
    QCOMPARE(messages.messages[0].title, QStringLiteral("Korvane"));
    QCOMPARE(messages.messages[0].icon, MessageIcon::None);
    QCOMPARE(w->windowTitle(), QStringLiteral("Korvane"));
    QCOMPARE(w->HScroll1->value(), 300);
    QVERIFY(w->Gate_timing[2]->isChecked());
    QVERIFY(!w->MSComm1.connected());
    // The ready state comes with Restart_Delay, ten seconds after creation; the module
    // is looked for meanwhile, and the window says it is not there.
    QVERIFY(w->Restart_Delay.isActive());
    QCOMPARE(w->Restart_Delay.interval(), 10000);
    QVERIFY(!w->linkStatus->isHidden());
    QVERIFY(!w->Window_start_button->isEnabled());
}

void MainWindowTest::noModuleReadyStateOpensNothing() {
    test::ModuleRig rig;
    auto& other = rig.addSilentDevice(16); // some other device on the last port probed
    test::WindowUnderTest w(rig);
    w.writeConfig(test::trackConfig());
    test::MessageRecorder messages;
    w->Form_Load();
    other.clearCommands();
    w->Restart_Delay_Timer();
    QVERIFY(!w->MSComm1.connected());
    QCOMPARE(described(other), QStringList{});
    QCOMPARE(w->Window_start_button->text(), QStringLiteral("Click to put up gate"));
    QVERIFY(!w->Shape1[4]->isLit());
    // The module is looked for meanwhile; the ready state comes again when it answers.
    QVERIFY(!w->Restart_Delay.isActive());
    QVERIFY(w->linkStatus->isVisibleTo(w.window.get()));
    QCOMPARE(messages.messages.size(), 1);
}

// The box is left open; the link engine looks on meanwhile, and when the module is
// plugged in the box closes by itself and the window is ready.
void MainWindowTest::noControllerBoxClosesWhenTheModuleIsFound() {
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("ttyUSB0"));
    sim::VirtualModule module(device);
    QTemporaryDir programFolder;
    frmUSB_Main w(PortCatalog::fromNames({device}), std::make_unique<test::RecordingSoundPlayer>(),
                  programFolder.path(), nullptr, {.retryMs = 200});
    test::MessageRecorder messages;
    messages.whileOpen = [&](const Message& message) {
        if (!message.text.startsWith(QStringLiteral("No Controller")))
            return;
        QVERIFY(module.start());
        sim::runUntil([&] { return !messages.closed.isEmpty(); }, 3000);
    };
    w.Form_Load();
    QCOMPARE(messages.messages.value(0).text, QStringLiteral("No Controller  detected"));
    QCOMPARE(messages.closed, QStringList{No_Controller_Key});
    QVERIFY(w.MSComm1.connected());
    QTRY_VERIFY(commands(module).contains(QStringLiteral("A 00")));
    QCOMPARE(w.Window_start_button->text(), caption::Put_Up_Gate);
    QVERIFY(w.Window_start_button->isEnabled());
}

void MainWindowTest::readyStateForOperatorAndAdministrator_data() {
    QTest::addColumn<bool>("administrator");
    QTest::newRow("operator") << false;
    QTest::newRow("administrator") << true;
}

void MainWindowTest::readyStateForOperatorAndAdministrator() {
    QFETCH(bool, administrator);
    test::ModuleRig rig;
    rig.addModule(1);
    test::WindowUnderTest w(rig);
    w->Form_Load();
    w->setAdministrator(administrator);
    // What a start held on screen leaves behind.
    w->Window_start_button_Click();
    w->Gate_up_timer_Timer();
    w->Window_start_button_Click();
    w->Window_start_button_Click();
    QVERIFY(w->startSequence.delayed());
    for (QRadioButton* option : w->Gate_timing)
        QVERIFY(!option->isEnabled()); // not during a start
    w->HScroll1->setValue(230);
    w->Beep_time_label->setText(QStringLiteral("x"));

    w->Set_Ready_State();
    QVERIFY(!w->startSequence.delayed());
    QCOMPARE(w->Window_start_button->text(), QStringLiteral("Click to put up gate"));
    QVERIFY(w->Window_start_button->isEnabled());
    for (Lamp* lamp : w->Shape1)
        QVERIFY(!lamp->isLit());
    for (QRadioButton* option : w->Gate_timing)
        QCOMPARE(option->isEnabled(), administrator);
    QCOMPARE(w->Save_Settings->isVisibleTo(w.window.get()), administrator);
    QCOMPARE(w->Beep_time_label->text(), QStringLiteral("230"));
}

void MainWindowTest::readyStateWritesEveryCallAndStopsRestartDelay() {
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    test::WindowUnderTest w(rig);
    w->Form_Load();
    QVERIFY(!w->Restart_Delay.isActive());
    QTRY_VERIFY(commands(module).contains(QStringLiteral("A 00")));
    module.clearCommands();
    module.setPort('a', 0xFF);
    w->Set_Ready_State();
    w->Set_Ready_State();
    QTRY_COMPARE(commands(module), QStringList({"A 00", "A 00"}));
    QCOMPARE(module.port('a'), quint8(0x00));
    QVERIFY(!w->Restart_Delay.isActive());
}

// A module that does not answer: "Read Timeout", one box at a time, however many reads
// fail while it is open; none while the module is away.
void MainWindowTest::readFailureShowsOneMessageAtATimeAndNoneWhileAway() {
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    test::WindowUnderTest w(rig);
    w->Form_Load();
    QTRY_VERIFY(w->MSComm1.connected());
    test::MessageRecorder messages;
    int readsWhileOpen = 0;
    messages.whileOpen = [&](const Message&) {
        const qsizetype before = described(module).count(QStringLiteral("b"));
        sim::runEventsFor(700); // samples at rest fail every half second meanwhile
        readsWhileOpen = int(described(module).count(QStringLiteral("b")) - before);
    };
    module.setSilent(true);
    QTRY_COMPARE_WITH_TIMEOUT(messages.messages.size(), 1, 3000);
    QCOMPARE(messages.messages[0].text, QStringLiteral("Read Timeout"));
    QCOMPARE(messages.messages[0].title, QStringLiteral("USB IO V3 ERROR"));
    QCOMPARE(messages.messages[0].icon, MessageIcon::Information);
    QVERIFY(readsWhileOpen >= 1); // the link went on reading: a box holds nothing up
    QTRY_COMPARE_WITH_TIMEOUT(messages.messages.size(), 2, 3000); // shown again after OK

    messages.whileOpen = nullptr;
    module.unplug();
    QTRY_VERIFY(!w->MSComm1.connected());
    const qsizetype shown = messages.messages.size();
    sim::runEventsFor(1200);
    QCOMPARE(messages.messages.size(), shown);
}

void MainWindowTest::unpluggedModuleIsTakenBackAtRest() {
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    test::WindowUnderTest w(rig);
    w->Form_Load();
    test::MessageRecorder messages;
    module.unplug();
    QTRY_VERIFY(!w->MSComm1.connected());
    QVERIFY(w->linkStatus->isVisibleTo(w.window.get()));
    QVERIFY(!w->Window_start_button->isEnabled());
    w->Window_start_button_Click(); // nothing to send to, nothing reported
    QCOMPARE(w->startSequence.state(), StartState::Ready);
    QVERIFY(messages.messages.isEmpty());

    module.clearCommands();
    QVERIFY(module.replug());
    QTRY_VERIFY_WITH_TIMEOUT(w->linkStatus->isHidden(), 3000); // taken back, not only probed
    // A module back from an unplug may have lost its set-up with its power.
    QTRY_COMPARE(commands(module).mid(0, 6), Setup_Bytes + QStringList{"A 00"});
    QVERIFY(w->Window_start_button->isEnabled());
    QCOMPARE(w->windowTitle(), titleOn(1, module));
    QVERIFY(messages.messages.isEmpty());
}

// No control covers another (the Abort button, the status lines and the panels that
// come and go included) and each lies within its frame; at creation the window is in
// its design state.
void MainWindowTest::controlsNeitherOverlapNorLeaveTheirFrames() {
    test::ModuleRig rig;
    test::WindowUnderTest w(rig);
    QStringList faults;
    const auto check = [&](const QWidget* parent) {
        // The rule under the menu bar runs past the client area's edge on purpose.
        QList<const QWidget*> controls;
        for (const QObject* child : parent->children()) {
            const auto* control = qobject_cast<const QWidget*>(child);
            if (control && control != w->Line1)
                controls << control;
        }
        for (qsizetype i = 0; i < controls.size(); ++i) {
            if (!parent->rect().contains(controls[i]->geometry()))
                faults << QStringLiteral("%1 leaves its frame")
                              .arg(controls[i]->objectName() +
                                   controls[i]->metaObject()->className());
            for (qsizetype j = i + 1; j < controls.size(); ++j) {
                if (controls[i]->geometry().intersects(controls[j]->geometry()))
                    faults << QStringLiteral("%1 (%2) covers %3 (%4)")
                                  .arg(controls[i]->metaObject()->className())
                                  .arg(QString::number(i))
                                  .arg(controls[j]->metaObject()->className())
                                  .arg(QString::number(j));
            }
        }
    };
    check(w->centralWidget());
    for (const QWidget* frame : {w->Frame1, w->Frame2, w->Frame3})
        check(frame);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("\n"))));

    QVERIFY(!w->HScroll1->isEnabled());
    QVERIFY(!w->Frame2->isVisibleTo(w.window.get()));
    QVERIFY(!w->Save_Settings->isVisibleTo(w.window.get()));
    QVERIFY(!w->abortButton->isVisibleTo(w.window.get()));
    QVERIFY(!w->Debug_io->isEnabled());
    QVERIFY(!w->moreSettingsItem->isEnabled());
    QVERIFY(!w->Veiw_Timer->isChecked());
    QVERIFY(w->Restart_Delay.isActive());
    for (QTimer* timer : {&w->Gate_up_timer, &w->Riders_ready, &w->Watch_the_gate, &w->Timer1,
                          &w->Timer2, &w->Timer3, &w->Timer4, &w->Race_timer})
        QVERIFY(!timer->isActive());
}

// The layouts name faces that only Windows has; on Linux the stand-ins must still fit
// every caption, including the texts the window shows later.
void MainWindowTest::everyCaptionFitsItsControl() {
    test::ModuleRig rig;
    test::WindowUnderTest w(rig);
    w->Beep_time_label->setText(QStringLiteral("500"));
    QStringList clipped;
    for (const QString& shown : {QStringLiteral("119.99"), QStringLiteral("--.--")}) {
        w->Time_seconds->setText(shown);
        for (const QString& state : {caption::Put_Up_Gate, caption::Start, caption::Delay,
                                     caption::Click_To_Continue, caption::Delayed_Externally}) {
            w->Window_start_button->setText(state);
            clipped << clippedCaptions(w.window.get());
        }
    }
    w->Log_In_Click();
    w->About_Click();
    w->Debug_io_Click();
    w->passwordsClick();
    clipped << clippedCaptions(w->loginDialog.data()) << clippedCaptions(w->aboutBox.data())
            << clippedCaptions(w->debugWindow.data()) << clippedCaptions(w->passwordsWindow.data());
    w->loginDialog->cmdOK->setText(QStringLiteral("Wait 30 s")); // the longest lock-out
    clipped << clippedCaptions(w->loginDialog.data());
    clipped.removeDuplicates();
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("\n"))));
    QCOMPARE(QFontInfo(w->Frame3->font()).family(), QStringLiteral("Liberation Sans"));
    QVERIFY(QFontInfo(w->Time_seconds->font()).weight() >= QFont::Bold);
}

// Tests never show a modal box (it would wait for OK for ever): a recorder that ends
// must hand back to the recorder or the printing handler it replaced.
void MainWindowTest::aRecorderThatEndsLeavesTheOneBeforeIt() {
    QVERIFY(messageHandler());
    test::MessageRecorder outer;
    { test::MessageRecorder inner; }
    QVERIFY(messageHandler());
    showMessage(nullptr, {QStringLiteral("after the inner one"), QStringLiteral("test")});
    QCOMPARE(outer.messages.size(), 1);
}

// With KORVANE_SCREENSHOT_DIR set (under Xvfb), saves main-window.png (ready, on a
// module) and main-window-module-away.png (the module unplugged) there.
void MainWindowTest::screenshots() {
    const QString folder = qEnvironmentVariable("KORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        QSKIP("KORVANE_SCREENSHOT_DIR not set");
    test::ModuleRig rig;
    auto& module = rig.addModule(1);
    test::WindowUnderTest w(rig);
    w.writeConfig(test::trackConfig("150"));
    test::MessageRecorder messages;
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QTest::qWait(200);
    QVERIFY(w->grab().save(QDir(folder).filePath("main-window.png")));
    module.unplug();
    QTRY_VERIFY(!w->linkStatus->isHidden());
    QTest::qWait(200);
    QVERIFY(w->grab().save(QDir(folder).filePath("main-window-module-away.png")));
}

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
