// The start handlers driven step by step on the real window against the virtual
// module: trigger rows, the level-sampled external button, the cadence, the beep
// steps with their order and the gate drop, and read failures during a start.
#include "app/lamp.h"
#include "sequence/clocks.h"
#include "sequence/step_timing.h"
#include "tests/support/start_helpers.h"

#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QThread>

using namespace korvane;
using namespace korvane::test;

namespace {

const QString Ready = QStringLiteral("Click to put up gate");
const QString Start = QStringLiteral("Start");
const QString Delay = QStringLiteral("Delay");
const QString Continue = QStringLiteral("Click to continue");
const QString Held_Externally = QStringLiteral("Delayed by External Button");

// The window at the moment a sound starts.
struct Snapshot {
    QString file;
    bool gateLampLit;
    quint32 raceStart;
    std::array<bool, 4> beepTimers; // Timer1..Timer4 running
    bool restartDelay;
};

QList<bool> litLamps(frmUSB_Main& w) {
    QList<bool> lit;
    for (Lamp* lamp : w.Shape1)
        lit << lamp->isLit();
    return lit;
}

QList<bool> lamps(std::initializer_list<int> lit) {
    QList<bool> state(5, false);
    for (int i : lit)
        state[i] = true;
    return state;
}

void waitForOutputs(StartRig& rig, int count) {
    QVERIFY2(runUntil([&] { return rig.outputs().size() >= count; }, 2000),
             qPrintable(rig.outputs().join(", ")));
}

// Gate up, hold-off over, button enabled again: the next trigger starts the cadence.
void raiseGateAndEndHoldOff(StartRig& rig) {
    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
}

} // namespace

class StartSequenceTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void triggerRowActsOnTheWindow_data();
    void triggerRowActsOnTheWindow();
    void gateRaiseLocksBothTriggersForTheHoldOff();
    void buttonHeldThroughTheHoldOffStartsAtTheFirstPollAfterIt();
    void buttonStillDownAfterTheStartHoldsUntilReleased();
    void onScreenHoldIsReleasedOnlyOnScreen();
    void portBWithoutTheStartLineIsNoTrigger_data();
    void portBWithoutTheStartLineIsNoTrigger();
    void startCadenceResetsTheRaceAndArmsRidersReady();
    void beepIntervalIsReadOnceAtTheStart();
    void watchTheGatePlaysToItsEndBeforeTimer1IsArmed();
    void beepStepsKeepTheirOrderAndDropTheGateOnce_data();
    void beepStepsKeepTheirOrderAndDropTheGateOnce();
    void twoWaitingBytesAtAPollReportReadTimeoutAndChangeNothing();
    void openReadTimeoutSkipsPollsWhileTheBeepsRunOn();
    void pollDuringTheLoadHandlerSendsNothing();
    void beepDueDuringABlockingWaitRunsOnceAndTheNextKeepsItsInterval();
    void pollNeverDelaysABeepButStillSeesAHold();
    void timedStepRunsOnceAndNeverBeforeItsDueTime();
    void abortBeforeTheDropKeepsTheGateUpAndStopsEverything_data();
    void abortBeforeTheDropKeepsTheGateUpAndStopsEverything();
    void afterTheDropThereIsNothingToAbort();

private:
    std::unique_ptr<StartRig> rig_;
};

void StartSequenceTest::init() {
    rig_ = std::make_unique<StartRig>();
    if (QString(QTest::currentTestFunction()) !=
        QLatin1String("pollDuringTheLoadHandlerSendsNothing")) {
        QVERIFY(rig_->load());
        rig_->stopBackgroundTimers();
    }
}

void StartSequenceTest::cleanup() {
    rig_.reset();
}

void StartSequenceTest::triggerRowActsOnTheWindow_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("trigger"); // "click", "poll 1" or "poll 0"
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("captionAfter");
    QTest::addColumn<bool>("enabledAfter");
    QTest::addColumn<bool>("delayedAfter");
    QTest::addColumn<QString>("effect"); // "gate", "cadence" or ""

    struct Row {
        QString caption, trigger;
        bool enabled;
        QString captionAfter;
        bool enabledAfter, delayedAfter;
        const char* effect;
    };
    // A caption in a held state comes with Delayed set, as a start leaves it.
    const Row rows[] = {
        {Ready, "click", true, Start, false, false, "gate"},
        {Ready, "click", false, Start, false, false, "gate"},
        {Ready, "poll 1", true, Start, false, false, "gate"},
        {Ready, "poll 1", false, Ready, false, false, ""},
        {Ready, "poll 0", true, Ready, true, false, ""},
        {Ready, "poll 0", false, Ready, false, false, ""},
        {Start, "click", true, Delay, true, false, "cadence"},
        {Start, "click", false, Delay, false, false, "cadence"},
        {Start, "poll 1", true, Delay, true, false, "cadence"},
        {Start, "poll 1", false, Start, false, false, ""},
        {Start, "poll 0", true, Start, true, false, ""},
        {Start, "poll 0", false, Start, false, false, ""},
        {Delay, "click", true, Continue, true, true, ""},
        {Delay, "click", false, Continue, false, true, ""},
        {Delay, "poll 1", true, Held_Externally, false, true, ""},
        {Delay, "poll 1", false, Delay, false, false, ""},
        {Delay, "poll 0", true, Delay, true, false, ""},
        {Delay, "poll 0", false, Delay, false, false, ""},
        {Continue, "click", true, Continue, false, false, ""},
        {Continue, "click", false, Continue, false, false, ""},
        {Continue, "poll 1", true, Continue, true, true, ""},
        {Continue, "poll 1", false, Continue, false, true, ""},
        {Continue, "poll 0", true, Continue, true, true, ""},
        {Continue, "poll 0", false, Continue, false, true, ""},
        {Held_Externally, "click", true, Held_Externally, true, true, ""},
        {Held_Externally, "click", false, Held_Externally, false, true, ""},
        {Held_Externally, "poll 1", true, Held_Externally, true, true, ""},
        {Held_Externally, "poll 1", false, Held_Externally, false, true, ""},
        {Held_Externally, "poll 0", true, Held_Externally, false, false, ""},
        {Held_Externally, "poll 0", false, Held_Externally, false, false, ""},
    };
    for (const Row& r : rows) {
        QTest::addRow("'%s' %s %s", qPrintable(r.caption), qPrintable(r.trigger),
                      r.enabled ? "enabled" : "disabled")
            << r.caption << r.trigger << r.enabled << r.captionAfter << r.enabledAfter
            << r.delayedAfter << QString(r.effect);
    }
}

void StartSequenceTest::triggerRowActsOnTheWindow() {
    QFETCH(QString, caption);
    QFETCH(QString, trigger);
    QFETCH(bool, enabled);
    QFETCH(QString, captionAfter);
    QFETCH(bool, enabledAfter);
    QFETCH(bool, delayedAfter);
    QFETCH(QString, effect);

    StartRig& rig = *rig_;
    rig->Window_start_button->setText(caption);
    rig->Window_start_button->setEnabled(enabled);
    rig->Delayed = caption == Continue || caption == Held_Externally;
    if (trigger == QLatin1String("click")) {
        rig->Window_start_button_Click();
    } else {
        rig.setButton(trigger == QLatin1String("poll 1"));
        rig->Polling_start_input_Timer();
    }

    QCOMPARE(rig->Window_start_button->text(), captionAfter);
    QCOMPARE(rig->Window_start_button->isEnabled(), enabledAfter);
    QCOMPARE(rig->Delayed, delayedAfter);
    QCOMPARE(rig->Gate_up_timer.isActive(), effect == QLatin1String("gate"));
    QCOMPARE(rig->Shape1[4]->isLit(), !effect.isEmpty());
    QCOMPARE(rig->Riders_ready.isActive(), effect == QLatin1String("cadence"));
    QCOMPARE(rig.sound().files(), effect == QLatin1String("cadence")
                                      ? QStringList{QStringLiteral("ok_riders.wav")}
                                      : QStringList{});
    if (effect == QLatin1String("gate"))
        waitForOutputs(rig, 1);
    else
        runEventsFor(50); // a stray command would have arrived by now
    QCOMPARE(rig.outputs(),
             effect == QLatin1String("gate") ? QStringList{QStringLiteral("H 00")} : QStringList{});
}

void StartSequenceTest::gateRaiseLocksBothTriggersForTheHoldOff() {
    StartRig& rig = *rig_;
    rig->Window_start_button->click(); // through the button's own signal
    QCOMPARE(rig->Window_start_button->text(), Start);
    QVERIFY(!rig->Window_start_button->isEnabled());
    QVERIFY(rig->Shape1[4]->isLit());
    QVERIFY(rig->Gate_up_timer.isActive());
    QCOMPARE(rig->Gate_up_timer.interval(), 4000);

    rig->Window_start_button->click(); // disabled: no click reaches the handler
    rig.setButton(true);
    rig->Polling_start_input_Timer();
    QCOMPARE(rig->Window_start_button->text(), Start);
    QVERIFY(!rig->Riders_ready.isActive());

    rig->Gate_up_timer_Timer();
    QVERIFY(rig->Window_start_button->isEnabled());
    QVERIFY(!rig->Gate_up_timer.isActive());
    waitForOutputs(rig, 1);
    runEventsFor(50);
    QCOMPARE(rig.outputs(), QStringList{QStringLiteral("H 00")});
}

void StartSequenceTest::buttonHeldThroughTheHoldOffStartsAtTheFirstPollAfterIt() {
    StartRig& rig = *rig_;
    rig.setButton(true);
    rig->Polling_start_input_Timer();
    QCOMPARE(rig->Window_start_button->text(), Start);
    for (int i = 0; i < 3; ++i)
        rig->Polling_start_input_Timer(); // still within the hold-off
    QCOMPARE(rig->Window_start_button->text(), Start);
    QVERIFY(rig.sound().files().isEmpty());

    rig->Gate_up_timer_Timer();
    rig->Polling_start_input_Timer();
    QCOMPARE(rig->Window_start_button->text(), Delay);
    QCOMPARE(rig.sound().files(), QStringList{QStringLiteral("ok_riders.wav")});
    QVERIFY(rig->Riders_ready.isActive());
    QVERIFY(!rig->Delayed);
}

void StartSequenceTest::buttonStillDownAfterTheStartHoldsUntilReleased() {
    StartRig& rig = *rig_;
    raiseGateAndEndHoldOff(rig);
    rig.setButton(true);
    rig->Polling_start_input_Timer(); // the start
    rig->Polling_start_input_Timer(); // the first poll after it: still down
    QCOMPARE(rig->Window_start_button->text(), Held_Externally);
    QVERIFY(!rig->Window_start_button->isEnabled());
    QVERIFY(rig->Delayed);

    rig->Riders_ready_Timer(); // held: no announcement, the timer runs on
    rig->Polling_start_input_Timer();
    QVERIFY(rig->Riders_ready.isActive());
    QCOMPARE(rig.sound().files(), QStringList{QStringLiteral("ok_riders.wav")});

    rig.setButton(false);
    rig->Polling_start_input_Timer();
    QVERIFY(!rig->Delayed);
    QVERIFY(!rig->Window_start_button->isEnabled());
    QCOMPARE(rig->Window_start_button->text(), Held_Externally);

    rig.setButton(true); // no second hold after a release
    rig->Polling_start_input_Timer();
    QVERIFY(!rig->Delayed);

    rig->Riders_ready_Timer();
    QCOMPARE(rig.sound().files(),
             QStringList({QStringLiteral("ok_riders.wav"), QStringLiteral("Riders_ready.wav")}));
    QVERIFY(!rig->Riders_ready.isActive());
    QVERIFY(rig->Watch_the_gate.isActive());
}

void StartSequenceTest::onScreenHoldIsReleasedOnlyOnScreen() {
    StartRig& rig = *rig_;
    raiseGateAndEndHoldOff(rig);
    rig->Window_start_button->click();
    rig->Window_start_button->click();
    QCOMPARE(rig->Window_start_button->text(), Continue);
    QVERIFY(rig->Window_start_button->isEnabled());
    QVERIFY(rig->Delayed);

    rig->Riders_ready_Timer();
    rig.setButton(true);
    rig->Polling_start_input_Timer(); // the external button cannot end an on-screen hold
    rig.setButton(false);
    rig->Polling_start_input_Timer();
    QVERIFY(rig->Delayed);
    QVERIFY(rig->Window_start_button->isEnabled());
    QCOMPARE(rig.sound().files(), QStringList{QStringLiteral("ok_riders.wav")});

    rig->Window_start_button->click();
    QVERIFY(!rig->Delayed);
    QVERIFY(!rig->Window_start_button->isEnabled());
    rig->Riders_ready_Timer();
    QCOMPARE(rig.sound().files().last(), QStringLiteral("Riders_ready.wav"));
    rig->Window_start_button->click(); // after the announcement a click cannot reach it
    QVERIFY(!rig->Delayed);
}

void StartSequenceTest::portBWithoutTheStartLineIsNoTrigger_data() {
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("portB");
    QTest::newRow("every other line set") << (1 << 2) << 0xFB;
    QTest::newRow("no start line configured") << 0 << 0xFF;
    QTest::newRow("start line on the top bit") << (1 << 7) << 0x7F;
}

void StartSequenceTest::portBWithoutTheStartLineIsNoTrigger() {
    QFETCH(int, mask);
    QFETCH(int, portB);
    StartRig& rig = *rig_;
    rig->Start_Button = qint16(mask);
    rig.module().setPort('b', quint8(portB));
    rig->Polling_start_input_Timer();
    QCOMPARE(rig->Window_start_button->text(), Ready);
    QVERIFY(!rig->Gate_up_timer.isActive());
    QCOMPARE(rig.portReads(), 1);
    QVERIFY(rig.outputs().isEmpty());
}

void StartSequenceTest::startCadenceResetsTheRaceAndArmsRidersReady() {
    StartRig& rig = *rig_;
    rig->Race_Start = 1234;
    rig->Race_End = 5;
    rig->Race_time = 7;
    for (QRadioButton* option : rig->Gate_timing)
        option->setEnabled(true);
    for (int i = 0; i < 4; ++i)
        rig->Shape1[i]->setLit(true);
    for (QTimer* timer : {&rig->Timer1, &rig->Timer2, &rig->Timer3, &rig->Timer4,
                          &rig->Watch_the_gate, &rig->Riders_ready})
        timer->start(60000);
    rig->HScroll1->setValue(240);

    rig->Start_Cadence();

    QCOMPARE(rig->Race_Start, 0u);
    QCOMPARE(rig->Race_End, 0u);
    QCOMPARE(rig->Race_time, 0);
    for (QRadioButton* option : rig->Gate_timing)
        QVERIFY(!option->isEnabled());
    QCOMPARE(litLamps(rig.window()), lamps({4}));
    for (QTimer* timer : {&rig->Timer1, &rig->Timer2, &rig->Timer3, &rig->Timer4}) {
        QVERIFY(!timer->isActive());
        QCOMPARE(timer->interval(), 240);
    }
    QVERIFY(!rig->Watch_the_gate.isActive());
    QVERIFY(rig->Riders_ready.isActive());
    QVERIFY(rig->Riders_ready.remainingTime() > 3000); // re-armed, not left running
    const QList<RecordingSoundPlayer::Call> calls = rig.sound().calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0].file, QStringLiteral("ok_riders.wav"));
    QVERIFY(!calls[0].sync);
}

void StartSequenceTest::beepIntervalIsReadOnceAtTheStart() {
    StartRig& rig = *rig_;
    rig->HScroll1->setValue(150);
    rig->Start_Cadence();
    rig->HScroll1->setValue(400);
    rig->Announce_Riders_Ready();
    rig->Watch_the_gate_Timer();
    rig->Timer1_Timer();
    rig->Timer2_Timer();
    for (QTimer* timer : {&rig->Timer1, &rig->Timer2, &rig->Timer3, &rig->Timer4})
        QCOMPARE(timer->interval(), 150);
}

void StartSequenceTest::watchTheGatePlaysToItsEndBeforeTimer1IsArmed() {
    StartRig& rig = *rig_;
    rig.sound().syncMs = 200;
    rig->Start_Cadence();
    rig->Announce_Riders_Ready();
    QVERIFY(!rig->Window_start_button->isEnabled());
    QVERIFY(!rig->Riders_ready.isActive());
    QVERIFY(rig->Watch_the_gate.isActive());
    QCOMPARE(rig->Watch_the_gate.interval(), 1000);

    bool timer1ArmedDuringSound = true;
    rig.sound().onPlay = [&](const QString&) { timer1ArmedDuringSound = rig->Timer1.isActive(); };
    const qint64 before = monotonicNs();
    rig->Watch_the_gate_Timer();
    QVERIFY((monotonicNs() - before) / 1000000 >= 190); // the handler waited for the end
    QVERIFY(!timer1ArmedDuringSound);
    const RecordingSoundPlayer::Call call = rig.sound().calls().last();
    QCOMPARE(call.file, QStringLiteral("Watch_the_gate.wav"));
    QVERIFY(call.sync);
    QVERIFY(!rig->Watch_the_gate.isActive());
    QVERIFY(rig->Timer1.isActive());
    for (QTimer* timer : {&rig->Timer2, &rig->Timer3, &rig->Timer4})
        QVERIFY(!timer->isActive());
}

void StartSequenceTest::beepStepsKeepTheirOrderAndDropTheGateOnce_data() {
    QTest::addColumn<int>("dropBeep"); // 0: no gate timing selected
    QTest::newRow("no option selected") << 0;
    for (int beep = 1; beep <= 4; ++beep)
        QTest::addRow("gate timing %d", beep - 1) << beep;
}

void StartSequenceTest::beepStepsKeepTheirOrderAndDropTheGateOnce() {
    QFETCH(int, dropBeep);
    StartRig& rig = *rig_;
    if (dropBeep > 0)
        rig->Gate_timing[dropBeep - 1]->setChecked(true);
    QList<Snapshot> snapshots;
    rig.sound().onPlay = [&](const QString& file) {
        std::array<bool, 4> beepTimers{};
        QTimer* timers[] = {&rig->Timer1, &rig->Timer2, &rig->Timer3, &rig->Timer4};
        for (int i = 0; i < 4; ++i)
            beepTimers[i] = timers[i]->isActive();
        snapshots.append({file, rig->Shape1[4]->isLit(), rig->Race_Start, beepTimers,
                          rig->Restart_Delay.isActive()});
    };
    raiseGateAndEndHoldOff(rig);
    rig->Window_start_button_Click();
    rig->Riders_ready_Timer();
    rig->Watch_the_gate_Timer();
    QCOMPARE(rig->Race_Start, 0u);
    snapshots.clear();

    void (frmUSB_Main::*steps[])() = {&frmUSB_Main::Timer1_Timer, &frmUSB_Main::Timer2_Timer,
                                      &frmUSB_Main::Timer3_Timer, &frmUSB_Main::Timer4_Timer};
    const QStringList beepOutputs[] = {{"H 01"}, {"L 01", "H 02"}, {"L 02", "H 03"}, {"H 03"}};
    const QList<bool> lampsAfter[] = {lamps({0}), lamps({1}), lamps({2}), lamps({2, 3})};
    QStringList expected = {"H 00"};
    for (int beep = 1; beep <= 4; ++beep) {
        (rig.window().*steps[beep - 1])();
        expected << beepOutputs[beep - 1];
        if (beep == dropBeep)
            expected << "L 00";
        const bool dropped = dropBeep > 0 && beep >= dropBeep;

        QList<bool> lit = lampsAfter[beep - 1];
        lit[4] = !dropped;
        QCOMPARE(litLamps(rig.window()), lit);
        QVERIFY(!rig->Timer1.isActive()); // only the next step is armed
        QCOMPARE(rig->Timer2.isActive(), beep == 1);
        QCOMPARE(rig->Timer3.isActive(), beep == 2);
        QCOMPARE(rig->Timer4.isActive(), beep == 3);
        QCOMPARE(rig->Restart_Delay.isActive(), beep == 4);
        if (dropped)
            QVERIFY(qAbs(qint64(tickCount()) - qint64(rig->Race_Start)) < 1000);
        else
            QCOMPARE(rig->Race_Start, 0u);

        // What had happened when the tone started.
        QCOMPARE(snapshots.size(), beep);
        const Snapshot& s = snapshots.last();
        QCOMPARE(s.file, beep < 4 ? QStringLiteral("BMX_start_tone.wav")
                                  : QStringLiteral("BMX_start_tone_long.wav"));
        if (beep < 4) {
            QVERIFY(s.gateLampLit == !(dropBeep > 0 && beep > dropBeep)); // tone, then drop
            QVERIFY(s.beepTimers[beep]);                                  // next armed
            QVERIFY(!s.beepTimers[beep - 1]);                             // own disabled
        } else {
            QCOMPARE(s.gateLampLit, !dropped); // drop, then the long tone
            QCOMPARE(s.raceStart != 0, dropped);
            QVERIFY(s.restartDelay);
            QVERIFY(s.beepTimers[3]); // Timer4 disables itself last
        }
    }
    waitForOutputs(rig, int(expected.size()));
    runEventsFor(50);
    QCOMPARE(rig.outputs(), expected);
    if (dropBeep == 1) // the first tone starts before the gate line falls
        QVERIFY(rig.soundStampNs("BMX_start_tone.wav") < rig.outputStampNs("L 00"));

    rig->Restart_Delay_Timer();
    expected << "A 00";
    waitForOutputs(rig, int(expected.size()));
    QCOMPARE(rig.outputs(), expected);
    QCOMPARE(litLamps(rig.window()), lamps({}));
    QCOMPARE(rig->Window_start_button->text(), Ready);
    QVERIFY(rig->Window_start_button->isEnabled());
    QVERIFY(!rig->Restart_Delay.isActive());
    QCOMPARE(rig->Race_Start != 0, dropBeep > 0); // kept until the next start
}

void StartSequenceTest::twoWaitingBytesAtAPollReportReadTimeoutAndChangeNothing() {
    StartRig& rig = *rig_;
    MessageRecorder& recorder = rig.messages();
    raiseGateAndEndHoldOff(rig);
    rig.setButton(true);
    rig.module().setDoubleReply(true);

    rig->Polling_start_input_Timer();
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(recorder.messages[0].text, QStringLiteral("Read Timeout"));
    QCOMPARE(recorder.messages[0].title, QStringLiteral("USB IO V3 ERROR"));
    QCOMPARE(int(recorder.messages[0].icon), int(MessageIcon::Information));
    QCOMPARE(rig->Window_start_button->text(), Start);
    QVERIFY(rig->Window_start_button->isEnabled());
    QVERIFY(!rig->Riders_ready.isActive());
    QVERIFY(rig.sound().files().isEmpty());
}

void StartSequenceTest::openReadTimeoutSkipsPollsWhileTheBeepsRunOn() {
    StartRig& rig = *rig_;
    MessageRecorder& recorder = rig.messages();
    // Beeps far enough apart that the first poll is not left out for a beep due sooner
    // than its wait.
    rig->HScroll1->setValue(300);
    rig->Start_Cadence();
    rig->Announce_Riders_Ready();
    rig->Watch_the_gate_Timer(); // Timer1 armed
    rig.module().setSilent(true);
    int readsWhileOpen = -1;
    recorder.whileOpen = [&](const Message&) {
        const int reads = rig.portReads();
        rig->Polling_start_input_Timer(); // skipped: no read, no second message
        runUntil([&] { return rig->Restart_Delay.isActive(); }, 3000);
        readsWhileOpen = rig.portReads() - reads;
    };
    rig->Polling_start_input_Timer();
    QCOMPARE(recorder.messages.size(), 1);
    QCOMPARE(readsWhileOpen, 0);
    QVERIFY(rig->Restart_Delay.isActive()); // all four beeps ran behind the message
    waitForOutputs(rig, 6);
    QCOMPARE(rig.outputs(), QStringList({"H 01", "L 01", "H 02", "L 02", "H 03", "H 03"}));
}

void StartSequenceTest::pollDuringTheLoadHandlerSendsNothing() {
    StartRig& rig = *rig_;
    rig->Start_Button = qint16(1 << StartRig::Button_Line);
    rig.setButton(true);
    rig->Polling_start_input.setInterval(1); // many ticks fall within discovery's waits
    int ticksDuringLoad = 0;
    QObject::connect(&rig->Polling_start_input, &QTimer::timeout, [&] { ++ticksDuringLoad; });
    rig->Form_Load();
    rig->Polling_start_input.stop();
    QVERIFY(ticksDuringLoad > 0);
    QVERIFY(!described(rig.module()).contains(QStringLiteral("b")));
    QCOMPARE(rig->Window_start_button->text(), Ready);
    QVERIFY(rig->Window_start_button->isEnabled());
}

void StartSequenceTest::pollNeverDelaysABeepButStillSeesAHold() {
    StartRig& rig = *rig_;
    rig->HScroll1->setValue(100);
    rig->Start_Cadence();
    rig->Riders_ready.start(50); // the riders-ready call due within the poll's wait
    int reads = rig.portReads();
    rig->Polling_start_input_Timer();
    QCOMPARE(rig.portReads(), reads + 1);

    rig->Announce_Riders_Ready();
    rig->Watch_the_gate_Timer(); // beep 1 due in 100 ms: a read could make it late
    reads = rig.portReads();
    rig->Polling_start_input_Timer();
    QCOMPARE(rig.portReads(), reads);
}

void StartSequenceTest::beepDueDuringABlockingWaitRunsOnceAndTheNextKeepsItsInterval() {
    StartRig& rig = *rig_;
    rig->HScroll1->setValue(100);
    rig->Start_Cadence();
    rig->Riders_ready.stop();
    rig->Watch_the_gate_Timer(); // Timer1 due in 100 ms
    QThread::msleep(350);        // a handler blocking the window thread
    QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("H 02")); }, 2000));
    QCOMPARE(rig.outputs().count(QStringLiteral("H 01")), 1);
    const qint64 gapMs = (rig.outputStampNs("H 02") - rig.outputStampNs("H 01")) / 1000000;
    QVERIFY2(gapMs >= 80 && gapMs < 600, qPrintable(QString::number(gapMs)));
}

// A step is woken a little early and waits out the rest on the clock: it must still
// never run before its due time, run once although its own timer is due too, and not
// run at all when it was stopped before it fell due.
void StartSequenceTest::timedStepRunsOnceAndNeverBeforeItsDueTime() {
    constexpr qint64 intervalMs = 30;
    QTimer step;
    step.setTimerType(Qt::PreciseTimer);
    step.setInterval(int(intervalMs));
    QList<qint64> ran;
    const auto run = [&] {
        ran << monotonicNs();
        step.stop();
    };
    connect(&step, &QTimer::timeout, run);
    StepTiming timing;
    timing.add(step, run);
    for (int i = 1; i <= 10; ++i) {
        const qint64 armedNs = monotonicNs();
        timing.arm(step);
        QVERIFY(runUntil([&] { return !step.isActive(); }, 1000, 1));
        runEventsFor(StepTiming::Early_Ms + 5); // a second run would come by now
        QCOMPARE(ran.size(), i);
        QVERIFY2(ran.last() - armedNs >= intervalMs * 1000000,
                 qPrintable(QString::number(ran.last() - armedNs)));
    }
    timing.arm(step);
    step.stop();
    runEventsFor(int(intervalMs) + 10);
    QCOMPARE(ran.size(), 10);
}

void StartSequenceTest::abortBeforeTheDropKeepsTheGateUpAndStopsEverything_data() {
    QTest::addColumn<int>("stepsRun"); // of the cadence and beeps, before the abort
    QTest::addColumn<bool>("held");
    QTest::addColumn<bool>("byKey");
    QTest::newRow("while \"OK riders\" plays") << 0 << false << false;
    QTest::newRow("while held on screen") << 0 << true << false;
    QTest::newRow("after \"Riders ready\", by Esc") << 1 << false << true;
    QTest::newRow("after \"Watch the gate\"") << 2 << false << false;
    QTest::newRow("after beep 1") << 3 << false << false;
    QTest::newRow("after beep 2, by Esc") << 4 << false << true;
    QTest::newRow("after beep 3") << 5 << false << false;
}

// The drop is at beep 4; the start is called off at each step before it, then run again.
void StartSequenceTest::abortBeforeTheDropKeepsTheGateUpAndStopsEverything() {
    QFETCH(int, stepsRun);
    QFETCH(bool, held);
    QFETCH(bool, byKey);
    StartRig& rig = *rig_;
    rig->Gate_timing[3]->setChecked(true);
    raiseGateAndEndHoldOff(rig);
    rig->Window_start_button_Click();
    QVERIFY(!rig->Abort_button->isHidden());
    if (held)
        rig->Window_start_button_Click();
    void (frmUSB_Main::*steps[])() = {
        &frmUSB_Main::Riders_ready_Timer, &frmUSB_Main::Watch_the_gate_Timer,
        &frmUSB_Main::Timer1_Timer, &frmUSB_Main::Timer2_Timer, &frmUSB_Main::Timer3_Timer};
    for (int i = 0; i < stepsRun; ++i)
        (rig.window().*steps[i])();

    if (byKey)
        QTest::keyClick(&rig.window(), Qt::Key_Escape);
    else
        QTest::mouseClick(rig->Abort_button, Qt::LeftButton);

    for (const QTimer* timer : {&rig->Riders_ready, &rig->Watch_the_gate, &rig->Timer1,
                                &rig->Timer2, &rig->Timer3, &rig->Timer4, &rig->Restart_Delay})
        QVERIFY2(!timer->isActive(), qPrintable(timer->objectName()));
    QVERIFY(rig.sound().playing().isEmpty());
    QVERIFY(rig->Abort_button->isHidden());
    QCOMPARE(rig->Window_start_button->text(), Start);
    QVERIFY(rig->Window_start_button->isEnabled());
    QVERIFY(!rig->Delayed);
    QCOMPARE(litLamps(rig.window()), lamps({4}));
    // Every light off, the gate never down: it went up and stays up.
    QVERIFY(runUntil([&] { return rig.outputs().endsWith(QStringLiteral("L 03")); }, 2000));
    runEventsFor(150); // nothing still on its way
    const QStringList outputs = rig.outputs();
    QVERIFY(!outputs.contains(QStringLiteral("L 00")));
    QCOMPARE(outputs.mid(outputs.size() - 3), QStringList({"L 01", "L 02", "L 03"}));

    // Run again, to the drop.
    rig.sound().clear();
    rig->Window_start_button_Click();
    QCOMPARE(rig->Window_start_button->text(), Delay);
    for (auto step : steps)
        (rig.window().*step)();
    rig->Timer4_Timer();
    QVERIFY(runUntil([&] { return rig.outputs().endsWith(QStringLiteral("L 00")); }, 2000));
    QCOMPARE(rig.sound().files().last(), QStringLiteral("BMX_start_tone_long.wav"));
}

void StartSequenceTest::afterTheDropThereIsNothingToAbort() {
    StartRig& rig = *rig_;
    rig->Gate_timing[0]->setChecked(true);
    raiseGateAndEndHoldOff(rig);
    rig->Window_start_button_Click();
    rig->Riders_ready_Timer();
    rig->Watch_the_gate_Timer();
    rig->Timer1_Timer(); // the drop
    QVERIFY(rig->Abort_button->isHidden());
    QVERIFY(runUntil([&] { return rig.outputs().endsWith(QStringLiteral("L 00")); }, 2000));
    QTest::keyClick(&rig.window(), Qt::Key_Escape);
    rig->Abort_button_Click();
    QVERIFY(rig->Timer2.isActive());
    runEventsFor(50);
    QVERIFY(rig.outputs().endsWith(QStringLiteral("L 00")));
    QCOMPARE(rig->Window_start_button->text(), Delay);
}

QTEST_MAIN(StartSequenceTest)
#include "tst_start_sequence.moc"
