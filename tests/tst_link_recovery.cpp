// A module that goes away and comes back, at every point of a start, over the real
// serial path: the recovery never resets or locks a start, the window says when the
// module is away and never shows a gate or light that was not switched, and the module
// is found again wherever it appears.
#include "app/lamp.h"
#include "sequence/trigger_table.h"
#include "settings/config_file.h"
#include "tests/support/start_helpers.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QThread>

#include <thread>

using namespace korvane;
using namespace korvane::test;
using Power = sim::VirtualModule::Power;

namespace {

constexpr int Gate_Lamp = 4;
constexpr int Restart_Ms = 300;

// A lost module looked for every 100 ms.
const LinkEngine::Timing Quick_Retries{.retryMs = 100};

// The start at test speed: the cadence's calls 150 ms apart, beeps 100 ms apart with the
// drop at beep 2, the ready state 300 ms after the last beep.
void quicken(frmUSB_Main& w) {
    setTestSpeed(w, {4000, 150, 150, Restart_Ms});
    w.HScroll1->setValue(100);
    w.Gate_timing[1]->setChecked(true);
}

QString state(StartRig& rig) {
    return rig->Window_start_button->text();
}

bool unplug(StartRig& rig, Power power = Power::Kept) {
    rig.module().unplug(power);
    return runUntil([&] { return !rig->MSComm1.connected(); }, 3000);
}

// Plugs the module back and waits until the window has taken it, forgetting what the
// module received before.
bool replug(StartRig& rig) {
    rig.module().clearCommands();
    return rig.module().replug() && runUntil([&] { return rig->linkStatus->isHidden(); }, 3000);
}

bool waitForOutput(StartRig& rig, const QString& command, int timeoutMs = 3000) {
    return runUntil([&] { return rig.outputs().contains(command); }, timeoutMs);
}

// The gate goes up and the hold-off is cut short.
void raiseGate(StartRig& rig) {
    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
}

void startCadence(StartRig& rig) {
    raiseGate(rig);
    rig->Window_start_button_Click();
}

// What a module that was taken back receives first: its port set-up, and a read of port
// A to know what it holds.
const QStringList Setup_Only = {"?", "! A 00", "! B FF", "! C FF", "a"};

// Beeps 1 to 4 with the drop at beep 2 (gate line 0), then the ready state.
const QStringList Beeps_And_Ready = {"H 01", "L 01", "H 02", "L 00",
                                     "L 02", "H 03", "H 03", "A 00"};

} // namespace

class LinkRecoveryTest : public QObject {
    Q_OBJECT
private slots:
    void unplugAnywhereIsQuietAndTheModuleIsTakenBack_data();
    void unplugAnywhereIsQuietAndTheModuleIsTakenBack();
    void externalHoldOutlivesAnUnplug();
    void gateUpOutlivesAnUnplug_data();
    void gateUpOutlivesAnUnplug();
    void readyStateWrittenAsTheModuleReturnsStands();
    void recoveryDuringTheCadenceNeverResetsTheStart();
    void lampsShowOnlyWhatTheModuleWasSent();
    void moduleIsFoundWhereverItAppears_data();
    void moduleIsFoundWhereverItAppears();
    void nothingIsClickableDuringStartUpDiscovery();
    void probeOfAnotherPortIsNeverTheLink();
    void moduleIsTakenBackWhileABoxStands();
};

enum class Unplug { AtRest, DuringARead, InHoldOff, InCadence, BetweenBeeps, WhileDebugPolls };

void LinkRecoveryTest::unplugAnywhereIsQuietAndTheModuleIsTakenBack_data() {
    QTest::addColumn<int>("point");
    QTest::newRow("at rest") << int(Unplug::AtRest);
    QTest::newRow("while a read waits") << int(Unplug::DuringARead);
    QTest::newRow("in the hold-off") << int(Unplug::InHoldOff);
    QTest::newRow("in the cadence") << int(Unplug::InCadence);
    QTest::newRow("between beeps") << int(Unplug::BetweenBeeps);
    QTest::newRow("while the debug window polls") << int(Unplug::WhileDebugPolls);
}

// Away for a second anywhere: no box, no spinning, and when the module is back it gets
// its set-up; at rest also the ready state, in a start only at the start's end.
void LinkRecoveryTest::unplugAnywhereIsQuietAndTheModuleIsTakenBack() {
    QFETCH(int, point);
    const auto at = Unplug(point);
    StartRig rig(Quick_Retries);
    QVERIFY(rig.load());
    quicken(rig.window());
    sim::VirtualModule& module = rig.module();

    if (at == Unplug::WhileDebugPolls) {
        rig->Debug_io_Click();
        QVERIFY(runUntil([&] { return described(module).contains(QStringLiteral("c")); }, 2000));
    }
    if (at == Unplug::InHoldOff)
        rig->Window_start_button_Click();
    if (at == Unplug::InCadence || at == Unplug::BetweenBeeps)
        startCadence(rig);
    if (at == Unplug::BetweenBeeps)
        QVERIFY(waitForOutput(rig, QStringLiteral("H 01")));

    if (at == Unplug::DuringARead) {
        module.setSilent(true);
        rig->MSComm1.requestRead('b', 400);
        QThread::msleep(40);
        module.unplug();
        module.setSilent(false);
    } else {
        module.unplug();
    }
    QVERIFY(runUntil([&] { return !rig->MSComm1.connected(); }, 3000));
    const double cpuBefore = cpuSeconds();
    runEventsFor(1000);
    const double cpu = cpuSeconds() - cpuBefore;
    QVERIFY2(cpu < 0.4, qPrintable(QStringLiteral("%1 s of CPU in 1 s").arg(cpu)));
    QVERIFY(!rig->linkStatus->isHidden());
    // A start whose drop could not go out ended with the gate up, and says so.
    const bool startEnded = at == Unplug::InCadence || at == Unplug::BetweenBeeps;
    QCOMPARE(rig.messages().messages.size(), startEnded ? 1 : 0);

    QVERIFY(replug(rig));
    runEventsFor(200);
    // The debug window's refreshes may come in already: reads of ports A and C.
    QStringList outputs = rig.outputs();
    outputs.removeAll(QStringLiteral("c"));
    while (outputs.lastIndexOf(QStringLiteral("a")) > Setup_Only.size() - 1)
        outputs.removeAt(outputs.lastIndexOf(QStringLiteral("a")));
    if (startEnded) {
        // Red went on before the module went away (between beeps) and is switched off
        // again: the start ended. The gate stays up, as after an abort.
        QCOMPARE(outputs,
                 Setup_Only + (at == Unplug::BetweenBeeps ? QStringList{"L 01"} : QStringList{}));
        QCOMPARE(state(rig), caption::Start);
    } else if (at == Unplug::InHoldOff) {
        // The gate is still up: nothing changes an output.
        QCOMPARE(outputs, Setup_Only);
        QCOMPARE(state(rig), caption::Start);
    } else {
        QCOMPARE(outputs, Setup_Only + QStringList{"A 00"}); // at rest: the ready state
    }
    QVERIFY(rig->linkStatus->isHidden());
    QCOMPARE(rig.messages().messages.size(), startEnded ? 1 : 0);
    if (at == Unplug::WhileDebugPolls)
        QVERIFY(runUntil([&] { return described(module).contains(QStringLiteral("c")); }, 2000));
}

// Held by the external button when the module goes away: the hold can no longer be
// released by that button, so it becomes a hold on screen that the operator releases.
void LinkRecoveryTest::externalHoldOutlivesAnUnplug() {
    StartRig rig(Quick_Retries);
    QVERIFY(rig.load());
    quicken(rig.window());
    startCadence(rig);
    rig.setButton(true);
    QVERIFY(runUntil([&] { return state(rig) == caption::Delayed_Externally; }, 2000));

    QVERIFY(unplug(rig));
    QCOMPARE(state(rig), caption::Click_To_Continue);
    QVERIFY(rig->Window_start_button->isEnabled());
    QVERIFY(rig->startSequence.delayed());

    QVERIFY(replug(rig));
    runEventsFor(300);
    QCOMPARE(rig.outputs(), Setup_Only);
    QCOMPARE(state(rig), caption::Click_To_Continue);
    QCOMPARE(rig.sound().files(), QStringList{"ok_riders.wav"});

    rig.setButton(false);
    rig->Window_start_button_Click();
    QVERIFY(waitForOutput(rig, QStringLiteral("A 00")));
    QCOMPARE(rig.outputs(), Setup_Only + Beeps_And_Ready);
    QCOMPARE(state(rig), caption::Put_Up_Gate);
}

void LinkRecoveryTest::gateUpOutlivesAnUnplug_data() {
    QTest::addColumn<bool>("powerLost");
    QTest::newRow("adapter reset, module powered") << false;
    QTest::newRow("module lost its power") << true;
}

// The gate is up, waiting for the start. While the module is away the start cannot
// begin (it would run with no lights and no drop). Back with its power the gate is
// still up and the start goes on; back without it the gate has fallen and the window
// says so. The gate is never raised by itself.
void LinkRecoveryTest::gateUpOutlivesAnUnplug() {
    QFETCH(bool, powerLost);
    StartRig rig(Quick_Retries);
    QVERIFY(rig.load());
    quicken(rig.window());
    raiseGate(rig);
    QVERIFY(waitForOutput(rig, QStringLiteral("H 00")));

    QVERIFY(unplug(rig, powerLost ? Power::Lost : Power::Kept));
    QVERIFY(!rig->Window_start_button->isEnabled());
    QVERIFY(!rig->linkStatus->isHidden());
    rig->Window_start_button_Click();
    QCOMPARE(state(rig), caption::Start);
    QVERIFY(rig.sound().files().isEmpty());

    QVERIFY(replug(rig));
    runEventsFor(200);
    QVERIFY(!rig.outputs().contains(QStringLiteral("H 00")));
    if (powerLost) {
        QCOMPARE(rig.outputs(), Setup_Only + QStringList({"A 00"}));
        QCOMPARE(state(rig), caption::Put_Up_Gate);
        QVERIFY(!rig->Shape1[Gate_Lamp]->isLit());
        QVERIFY(rig->Window_start_button->isEnabled());
        return;
    }
    QCOMPARE(rig.outputs(), Setup_Only);
    QCOMPARE(state(rig), caption::Start);
    QVERIFY(rig->Shape1[Gate_Lamp]->isLit());
    QVERIFY(rig->Window_start_button->isEnabled());
    // The external button starts it, and every light and the drop reach the module.
    rig.setButton(true);
    QVERIFY(runUntil([&] { return state(rig) == caption::Delay; }, 2000));
    rig.setButton(false);
    QVERIFY(waitForOutput(rig, QStringLiteral("A 00")));
    QCOMPARE(rig.outputs(), Setup_Only + Beeps_And_Ready);
}

// Away at rest, a press raises nothing. Away and back again while the start is held on
// screen: the hold stays, nothing but the set-up goes out, and the ready state comes at
// its usual time after the last beep.
// "Connected" holds from the engine's thread on, so the window may write (its ready state,
// a step) before it reads what the module held on its return: the module holds that write.
void LinkRecoveryTest::readyStateWrittenAsTheModuleReturnsStands() {
    StartRig rig(Quick_Retries);
    QVERIFY(rig.load());
    quicken(rig.window());
    raiseGate(rig);
    QVERIFY(unplug(rig));
    QVERIFY(rig.module().replug());
    QDeadlineTimer deadline(3000);
    while (!rig->MSComm1.connected() && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    QVERIFY(rig->MSComm1.connected());
    rig->Set_Ready_State(); // before the module's return is handled here
    QVERIFY(waitForOutput(rig, QStringLiteral("A 00")));
    runEventsFor(200);
    QCOMPARE(state(rig), caption::Put_Up_Gate);
    QVERIFY(!rig->Shape1[Gate_Lamp]->isLit());
}

void LinkRecoveryTest::recoveryDuringTheCadenceNeverResetsTheStart() {
    StartRig rig(Quick_Retries);
    QVERIFY(rig.load());
    quicken(rig.window());
    QVERIFY(unplug(rig));
    rig->Window_start_button_Click();
    QCOMPARE(state(rig), caption::Put_Up_Gate);
    QVERIFY(!rig->Shape1[Gate_Lamp]->isLit());
    QVERIFY(replug(rig));
    QVERIFY(waitForOutput(rig, QStringLiteral("A 00")));

    startCadence(rig);
    rig->Window_start_button_Click(); // hold
    QCOMPARE(state(rig), caption::Click_To_Continue);
    QVERIFY(unplug(rig));
    QVERIFY(replug(rig));
    runEventsFor(400); // past several riders-ready ticks
    QCOMPARE(rig.outputs(), Setup_Only);
    QCOMPARE(state(rig), caption::Click_To_Continue);
    QVERIFY(rig->startSequence.delayed());
    QCOMPARE(rig.sound().files(), QStringList{"ok_riders.wav"});

    rig->Window_start_button_Click(); // release
    QVERIFY(waitForOutput(rig, QStringLiteral("A 00")));
    QCOMPARE(rig.outputs(), Setup_Only + Beeps_And_Ready);
    const qint64 lastBeep = rig.outputStampNs(QStringLiteral("H 03"), 1);
    const qint64 ready = rig.outputStampNs(QStringLiteral("A 00"));
    QVERIFY2((ready - lastBeep) / 1000000 >= Restart_Ms - 5,
             qPrintable(QString::number((ready - lastBeep) / 1000000)));
}

// The module goes away after the first light: the later lights are not switched, so
// their lamps stay dark, and red, whose off command could not go out either, stays lit;
// the window says that the module is not connected.
void LinkRecoveryTest::lampsShowOnlyWhatTheModuleWasSent() {
    StartRig rig(Quick_Retries);
    QVERIFY(rig.load());
    quicken(rig.window());
    rig->Gate_timing[3]->setChecked(true); // the drop comes last, at beep 4
    QStringList litAtTone;
    rig.sound().onPlay = [&](const QString& file) {
        if (!file.startsWith(QStringLiteral("BMX_start_tone")))
            return;
        QString lit;
        for (int lamp = 0; lamp < 4; ++lamp)
            lit += rig->startSequence.lampLit(lamp) ? QString::number(lamp) : QString();
        litAtTone << lit;
    };
    rig.module().setOnCommand([&](const sim::VirtualModule::Command& command) {
        if (command.bytes == QByteArray("H\x01", 2))
            QMetaObject::invokeMethod(
                &rig.window(), [&] { rig.module().unplug(); }, Qt::QueuedConnection);
    });
    startCadence(rig);
    QVERIFY(runUntil([&] { return litAtTone.size() == 4; }, 3000));
    QCOMPARE(litAtTone, QStringList({"0", "0", "0", "0"}));
    QVERIFY(!rig->linkStatus->isHidden());
}

void LinkRecoveryTest::moduleIsFoundWhereverItAppears_data() {
    QTest::addColumn<bool>("presentAtStartUp");
    QTest::newRow("plugged in after start-up") << false;
    QTest::newRow("back under another name") << true;
}

// The catalogue has two ports; the module is on the first at start-up or on neither,
// and later appears on the second: a rescan finds it, the caption names its port, and
// the window is ready with the settings the file holds.
void LinkRecoveryTest::moduleIsFoundWhereverItAppears() {
    QFETCH(bool, presentAtStartUp);
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("ttyUSB0"));
    const QString second = dir.filePath(QStringLiteral("ttyUSB1"));
    sim::VirtualModule module(first);
    if (presentAtStartUp)
        QVERIFY(module.start());
    auto player = std::make_unique<RecordingSoundPlayer>();
    QTemporaryDir programFolder;
    QVERIFY(
        config::saveConfigAtomically(config::configPathFor(programFolder.path()), trackConfig()));
    frmUSB_Main w(PortCatalog::fromNames({first, second}), std::move(player), programFolder.path(),
                  nullptr, Quick_Retries);
    MessageRecorder messages;
    w.Form_Load();
    QCOMPARE(messages.messages.size(), presentAtStartUp ? 0 : 1);
    if (presentAtStartUp) {
        module.unplug();
        QVERIFY(runUntil([&] { return !w.MSComm1.connected(); }, 3000));
    }
    QVERIFY(!w.linkStatus->isHidden());
    QCOMPARE(w.windowTitle(), QStringLiteral("Korvane"));

    module.clearCommands();
    QVERIFY(module.replug(second));
    QVERIFY(runUntil([&] { return w.linkStatus->isHidden(); }, 3000));
    QCOMPARE(w.windowTitle(), QStringLiteral("Korvane USB IO on port 2 (%1)").arg(second));
    QVERIFY(module.waitForCommands(6, 2000));
    const QStringList sent = commands(module);
    QCOMPARE(sent.mid(sent.lastIndexOf(QStringLiteral("?"))), Setup_Only + QStringList{"A 00"});
    QCOMPARE(w.HScroll1->value(), 250);
    QCOMPARE(w.Beep_time_label->text(), QStringLiteral("250"));
    QVERIFY(w.linkStatus->isHidden());
    QVERIFY(w.Window_start_button->isEnabled());
    QCOMPARE(messages.messages.size(), presentAtStartUp ? 0 : 1);
}

// Silent devices on the first ports make discovery wait; a click meanwhile does nothing.
void LinkRecoveryTest::nothingIsClickableDuringStartUpDiscovery() {
    ModuleRig rig;
    for (int port = 1; port <= 4; ++port)
        rig.addSilentDevice(port);
    auto& module = rig.addModule(5);
    WindowUnderTest w(rig);
    MessageRecorder messages;
    bool clicked = false;
    QTimer::singleShot(30, w.window.get(), [&] {
        QTest::mouseClick(w->Window_start_button, Qt::LeftButton);
        clicked = true;
    });
    w->Form_Load();
    QVERIFY(clicked);
    QCOMPARE(w->Window_start_button->text(), caption::Put_Up_Gate);
    QVERIFY(!w->Shape1[Gate_Lamp]->isLit());
    QVERIFY(module.waitForCommands(6, 2000));
    QCOMPARE(commands(module).mid(0, 6), Setup_Only + QStringList{"A 00"});
    QVERIFY(w->isEnabled());
}

// The gate is up and the module away; the retries probe some other device meanwhile. The
// hold-off ends during a probe: the button stays locked, and a click starts nothing, so
// no start runs blind.
void LinkRecoveryTest::probeOfAnotherPortIsNeverTheLink() {
    ModuleRig rig;
    sim::VirtualModule& module = rig.addModule(1);
    sim::VirtualModule& other = rig.addSilentDevice(2);
    auto player = std::make_unique<RecordingSoundPlayer>();
    RecordingSoundPlayer& sound = *player;
    QTemporaryDir programFolder;
    frmUSB_Main w(rig.catalog(), std::move(player), programFolder.path(), nullptr,
                  {.probeWaitMs = 300, .retryMs = 100, .ownPortTries = 0});
    w.Form_Load();
    QVERIFY(runUntil([&] { return w.MSComm1.connected(); }, 2000));
    w.Window_start_button_Click();
    module.unplug();
    QVERIFY(runUntil([&] { return !w.MSComm1.connected(); }, 2000));
    other.clearCommands();
    QVERIFY(runUntil([&] { return !other.commands().isEmpty(); }, 2000)); // a probe waits
    w.Gate_up_timer_Timer();
    bool everEnabled = false;
    runUntil(
        [&] {
            everEnabled = everEnabled || w.Window_start_button->isEnabled();
            return false;
        },
        1000, 5);
    QVERIFY(!everEnabled);
    w.Window_start_button_Click();
    QVERIFY(sound.files().isEmpty());
    QCOMPARE(w.startSequence.state(), StartState::GateUp);
}

// A box left open holds nothing up: the module is taken back, at the program's own retry
// interval, within 2 s of its return, and gets the ready state at rest.
void LinkRecoveryTest::moduleIsTakenBackWhileABoxStands() {
    StartRig rig;
    QVERIFY(rig.load());
    bool takenBack = false;
    rig.messages().whileOpen = [&](const Message&) {
        if (!unplug(rig))
            return;
        rig.module().clearCommands();
        takenBack =
            rig.module().replug() && runUntil([&] { return rig->linkStatus->isHidden(); }, 2000);
        runEventsFor(200);
    };
    rig->testSoundItem->trigger();
    QCOMPARE(rig.messages().messages.size(), 1);
    QVERIFY(takenBack);
    QCOMPARE(rig.outputs(), Setup_Only + QStringList{"A 00"});
}

QTEST_MAIN(LinkRecoveryTest)
#include "tst_link_recovery.moc"
