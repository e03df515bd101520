// The start as a model, on a module that records its commands and a clock the test moves:
// no window, no pseudo-terminal, no real time. The triggers by state, the cadence's
// commands and sounds at their due times, holds and abort, the start pulse, a module that
// goes away and comes back, the race clock and the start's record.
#include "sequence/start_sounds.h"
#include "tests/support/model_rig.h"

#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

constexpr qint64 Ms = 1'000'000;

// The gate's line is 0, red 1, orange 2, green 3 (ModelRig::trackSettings).
const QString Gate_Up = QStringLiteral("H 00");
const QString Gate_Down = QStringLiteral("L 00");

QStringList since(const QStringList& all, qsizetype from) {
    return all.mid(from);
}

} // namespace

class StartModelTest : public QObject {
    Q_OBJECT
private slots:
    void triggersActByState_data();
    void triggersActByState();
    void startSendsAndPlaysEachStepAtItsTime_data();
    void startSendsAndPlaysEachStepAtItsTime();
    void heldExternalButtonActsAgainOnlyWhenHeldOn();
    void noStartWithoutTheModule();
    void otherLinesOfPortBAreNoPress();
    void holdsAreCountedOnceEachWithTheirWholeTime();
    void abortEndsTheStartForGood();
    void abortLeavesALightOnTheGatesLineOn();
    void settingsChangedDuringAStartWaitForTheNext();
    void startPulseEndsOnTheLineItBeganOn();
    void dropNotSentEndsTheStartWithTheGateUp();
    void moduleBackAtRestKeepsAGateThatIsUp();
    void gateFallenDuringAHoldEndsTheStart();
    void outputsLeftOnWhileAwayAreSwitchedOffOnReturn();
    void raceRunsFromTheDropToTheBreakBetweenSamples();
    void recordIsOnDiskByTheReadyStateAndTheRaceTimeFollows();
    void readTimeoutIsToldOnlyWhileTheButtonCanAct();
};

// ---------------------------------------------------------------- triggers

void StartModelTest::triggersActByState_data() {
    QTest::addColumn<int>("from");        // StartState, reached by the start's own inputs
    QTest::addColumn<QString>("trigger"); // "click", "down" or "up"
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("caption");
    using S = StartState;
    const auto row = [](S from, const char* trigger, S to, const QString& caption) {
        QTest::addRow("%d %s", int(from), trigger) << int(from) << trigger << int(to) << caption;
    };
    row(S::Ready, "click", S::GateHoldOff, caption::Start);
    row(S::Ready, "down", S::GateHoldOff, caption::Start);
    row(S::Ready, "up", S::Ready, caption::Put_Up_Gate);
    row(S::GateHoldOff, "click", S::GateHoldOff, caption::Start);
    row(S::GateHoldOff, "down", S::GateHoldOff, caption::Start);
    row(S::GateUp, "click", S::Cadence, caption::Delay);
    row(S::GateUp, "down", S::Cadence, caption::Delay);
    row(S::GateUp, "up", S::GateUp, caption::Start);
    row(S::Cadence, "click", S::HeldOnScreen, caption::Click_To_Continue);
    row(S::Cadence, "down", S::HeldExternally, caption::Delayed_Externally);
    row(S::Cadence, "up", S::Cadence, caption::Delay);
    row(S::HeldOnScreen, "click", S::Released, caption::Click_To_Continue);
    row(S::HeldOnScreen, "down", S::HeldOnScreen, caption::Click_To_Continue);
    row(S::HeldExternally, "click", S::HeldExternally, caption::Delayed_Externally);
    row(S::HeldExternally, "up", S::Released, caption::Delayed_Externally);
    row(S::Released, "click", S::Released, caption::Click_To_Continue);
    row(S::Released, "down", S::Released, caption::Click_To_Continue);
    row(S::Announced, "click", S::Announced, caption::Delay);
    row(S::Announced, "down", S::Announced, caption::Delay);
}

void StartModelTest::triggersActByState() {
    QFETCH(int, from);
    QFETCH(QString, trigger);
    QFETCH(int, to);
    QFETCH(QString, caption);
    ModelRig rig;
    const auto target = StartState(from);
    if (target != StartState::Ready) {
        rig.model.click();
        if (target != StartState::GateHoldOff) {
            rig.clock.advance(cadence::Hold_Off_Ms);
            if (target != StartState::GateUp)
                rig.model.click();
        }
        if (target == StartState::HeldOnScreen || target == StartState::Released)
            rig.model.click();
        if (target == StartState::Released)
            rig.model.click();
        if (target == StartState::HeldExternally)
            rig.sample(true);
        if (target == StartState::Announced)
            rig.clock.advance(cadence::Riders_Ready_Ms);
    }
    QCOMPARE(int(rig.model.state()), from);
    const qsizetype before = rig.port.sent.size();
    rig.clock.advance(600); // a held button acts again once held on this long
    if (trigger == QLatin1String("click"))
        rig.model.click();
    else
        rig.sample(trigger == QLatin1String("down"));

    QCOMPARE(int(rig.model.state()), to);
    QCOMPARE(captionText(rig.model.caption()), caption);
    QCOMPARE(since(rig.port.sent, before),
             to == int(StartState::GateHoldOff) && from == int(StartState::Ready)
                 ? QStringList{Gate_Up}
                 : QStringList{});
    QCOMPARE(rig.sounds().contains(start_sounds::Ok_Riders), to >= int(StartState::Cadence));
}

// ---------------------------------------------------------------- the cadence

void StartModelTest::startSendsAndPlaysEachStepAtItsTime_data() {
    QTest::addColumn<int>("gateTiming");
    for (int timing = 0; timing < 4; ++timing)
        QTest::addRow("drop on beep %d", timing + 1) << timing;
}

// Each command and sound at its time after the start click: "OK riders" at once, "Riders
// ready" 3.6 s later, "Watch the gate" a second after and played to its end (W), then
// four beeps one interval apart with their lights, the drop with the selected beep (after
// its tone, but before the long tone), and the ready state ten seconds after beep 4.
void StartModelTest::startSendsAndPlaysEachStepAtItsTime() {
    QFETCH(int, gateTiming);
    ModelRig rig;
    StartSettings settings = ModelRig::trackSettings();
    settings.gateTiming = gateTiming;
    settings.beepIntervalMs = 250;
    rig.model.setSettings(settings);
    rig.model.click();
    rig.clock.advance(cadence::Hold_Off_Ms);
    const qint64 t0 = rig.clock.nowNs();
    rig.model.click();
    rig.clock.advance(30'000);

    QStringList timeline;
    for (qsizetype i = 0; i < rig.port.sent.size(); ++i)
        timeline
            << QStringLiteral("%1 %2").arg((rig.port.sentNs[i] - t0) / Ms).arg(rig.port.sent[i]);
    for (const RecordingSoundPlayer::Call& call : rig.player.calls())
        timeline << QStringLiteral("%1 %2").arg((call.atNs - t0) / Ms).arg(call.file);
    const int w = 4600 + ModelRig::Watch_The_Gate_Ms;
    // Each beep's light commands; the drop follows them on its beep.
    const QStringList beeps[] = {{"H 01"}, {"L 01", "H 02"}, {"L 02", "H 03"}, {"H 03"}};
    QStringList expected{QStringLiteral("-4000 H 00")};
    for (int beep = 0; beep < 4; ++beep) {
        const int at = w + 250 * (beep + 1);
        for (const QString& command : beeps[beep])
            expected << QStringLiteral("%1 %2").arg(at).arg(command);
        if (beep == gateTiming)
            expected << QStringLiteral("%1 L 00").arg(at);
    }
    expected << QStringLiteral("%1 A 00").arg(w + 11000) << QStringLiteral("0 ok_riders.wav")
             << QStringLiteral("3600 Riders_ready.wav")
             << QStringLiteral("4600 Watch_the_gate.wav");
    for (int beep = 1; beep <= 3; ++beep)
        expected << QStringLiteral("%1 BMX_start_tone.wav").arg(w + 250 * beep);
    expected << QStringLiteral("%1 BMX_start_tone_long.wav").arg(w + 1000);
    QCOMPARE(timeline, expected);
    QCOMPARE(rig.model.state(), StartState::Ready);
    QCOMPARE(rig.records.size(), 1);
    QCOMPARE(rig.records[0].dropAfterStartMs, std::optional<int>(w + 250 * (gateTiming + 1)));
}

// The button is read as a level: a press held on acts again once the original's poll
// would have seen it again (500 ms). A short press starts a cadence without holding it; a
// button held through the hold-off starts it the moment the hold-off ends.
void StartModelTest::heldExternalButtonActsAgainOnlyWhenHeldOn() {
    ModelRig rig;
    rig.sample(true);
    QCOMPARE(rig.model.state(), StartState::GateHoldOff);
    rig.clock.advance(cadence::Hold_Off_Ms - 1);
    rig.sample(true);
    QCOMPARE(rig.model.state(), StartState::GateHoldOff);
    rig.clock.advance(1);
    rig.sample(true);
    QCOMPARE(rig.model.state(), StartState::Cadence);
    rig.clock.advance(200);
    rig.sample(true); // the same press, 200 ms on
    QCOMPARE(rig.model.state(), StartState::Cadence);
    rig.clock.advance(300);
    rig.sample(true); // held on: now it holds the start
    QCOMPARE(rig.model.state(), StartState::HeldExternally);
    rig.clock.advance(100);
    rig.sample(false);
    QCOMPARE(rig.model.state(), StartState::Released);
}

void StartModelTest::noStartWithoutTheModule() {
    ModelRig rig;
    rig.port.connected_ = false;
    rig.model.click();
    rig.sample(true);
    QCOMPARE(rig.model.state(), StartState::Ready);
    QVERIFY(!rig.model.buttonEnabled());
    rig.port.connected_ = true;
    rig.model.click();
    rig.clock.advance(cadence::Hold_Off_Ms);
    // Gate up, then the module goes: the start would run with no lights and no drop.
    rig.port.connected_ = false;
    rig.model.moduleLost();
    QVERIFY(!rig.model.buttonEnabled());
    rig.model.click();
    QCOMPARE(rig.model.state(), StartState::GateUp);
    QVERIFY(rig.sounds().isEmpty());
}

// Only the start button's own line presses it; with no button line set (no settings
// loaded) the external button never acts.
void StartModelTest::otherLinesOfPortBAreNoPress() {
    ModelRig rig;
    rig.model.externalSample(quint8(~(1u << 2)), rig.clock.nowNs());
    QCOMPARE(rig.model.state(), StartState::Ready);
    StartSettings settings = ModelRig::trackSettings();
    settings.startButtonMask = 0;
    rig.model.setSettings(settings);
    rig.model.externalSample(0xFF, rig.clock.nowNs());
    QCOMPARE(rig.model.state(), StartState::Ready);
}

// ---------------------------------------------------------------- holds and abort

void StartModelTest::holdsAreCountedOnceEachWithTheirWholeTime() {
    ModelRig rig;
    for (int start = 0; start < 2; ++start) {
        rig.toCadence();
        rig.clock.advance(1000);
        rig.sample(true);
        QCOMPARE(rig.model.state(), StartState::HeldExternally);
        rig.clock.advance(2000);
        // The module goes away: the external hold becomes one on screen, the same hold.
        rig.model.moduleLost();
        QCOMPARE(rig.model.state(), StartState::HeldOnScreen);
        rig.clock.advance(1500);
        rig.model.click();
        QCOMPARE(rig.model.state(), StartState::Released);
        rig.clock.advance(20'000);
        QCOMPARE(rig.model.state(), StartState::Ready);
    }
    QCOMPARE(rig.records.size(), 2);
    for (const startlog::StartRecord& record : rig.records) {
        QCOMPARE(record.holds, 1);
        QCOMPARE(record.holdTotalMs, 3500);
    }
}

// Aborted during an external hold with the button still down: nothing starts again
// until the button has been let go and pressed anew.
void StartModelTest::abortEndsTheStartForGood() {
    ModelRig rig;
    rig.toCadence();
    rig.clock.advance(600);
    rig.sample(true);
    QCOMPARE(rig.model.state(), StartState::HeldExternally);
    rig.model.abort();
    QCOMPARE(rig.model.state(), StartState::GateUp);
    QVERIFY(!rig.model.abortAllowed());
    QCOMPARE(rig.player.playing(), QString());
    for (int i = 0; i < 10; ++i) {
        rig.clock.advance(600);
        rig.sample(true);
    }
    QCOMPARE(rig.model.state(), StartState::GateUp);
    QCOMPARE(rig.sounds().count(start_sounds::Ok_Riders), 1);
    QCOMPARE(rig.records.size(), 1);
    QVERIFY(rig.records[0].aborted);
    rig.sample(false);
    rig.sample(true);
    QCOMPARE(rig.model.state(), StartState::Cadence);
}

// The built-in settings put every output on line 0: switching the lights off at an abort
// would drop the gate on the riders.
void StartModelTest::abortLeavesALightOnTheGatesLineOn() {
    ModelRig rig;
    StartSettings settings = ModelRig::trackSettings();
    settings.lines = {0, 0, 0, 0};
    rig.model.setSettings(settings);
    rig.toCadence();
    const qsizetype before = rig.port.sent.size();
    rig.model.abort();
    QVERIFY2(!since(rig.port.sent, before).contains(Gate_Down),
             qPrintable(since(rig.port.sent, before).join(QStringLiteral(", "))));
    QVERIFY(rig.model.lampLit(4));
}

void StartModelTest::settingsChangedDuringAStartWaitForTheNext() {
    ModelRig rig;
    rig.toCadence();
    StartSettings changed = ModelRig::trackSettings();
    changed.beepIntervalMs = 400;
    changed.gateTiming = 3;
    rig.model.setSettings(changed);
    rig.clock.advance(30'000);
    QCOMPARE(rig.records.size(), 1);
    QCOMPARE(rig.records[0].beepIntervalMs, 150);
    QCOMPARE(rig.records[0].gateTiming, std::optional<int>(1));
    rig.toCadence();
    rig.clock.advance(30'000);
    QCOMPARE(rig.records.last().beepIntervalMs, 400);
    QCOMPARE(rig.records.last().gateTiming, std::optional<int>(4));
}

// A pulse on line 5 whose line is changed (or turned off) in "More settings" while it is
// on: it ends on line 5.
void StartModelTest::startPulseEndsOnTheLineItBeganOn() {
    ModelRig rig;
    StartSettings settings = ModelRig::trackSettings();
    settings.pulseLine = 5;
    settings.pulseMs = 100;
    rig.model.setSettings(settings);
    rig.toBeeps();
    rig.clock.advance(150); // beep 1 drops the gate, the pulse goes on
    QCOMPARE(rig.port.sent.mid(rig.port.sent.indexOf(Gate_Down)),
             (QStringList{Gate_Down, QStringLiteral("H 05")}));
    settings.pulseLine = -1;
    rig.model.setSettings(settings);
    rig.clock.advance(100);
    QVERIFY(rig.port.sent.contains(QStringLiteral("L 05")));
}

void StartModelTest::dropNotSentEndsTheStartWithTheGateUp() {
    ModelRig rig;
    StartSettings settings = ModelRig::trackSettings();
    settings.pulseLine = 5;
    rig.model.setSettings(settings);
    rig.port.refuse = [](const QByteArray& command) { return command == QByteArray("L\0", 2); };
    rig.toBeeps();
    rig.clock.advance(150);
    QCOMPARE(rig.model.state(), StartState::GateUp);
    QCOMPARE(captionText(rig.model.caption()), caption::Start);
    QVERIFY(rig.model.lampLit(4));
    QVERIFY(!rig.model.abortAllowed());
    QVERIFY(!rig.port.sent.contains(QStringLiteral("H 05"))); // no pulse for a drop not made
    QVERIFY(!rig.model.raceWatched());
    QCOMPARE(rig.records.size(), 1);
    QVERIFY(rig.records[0].aborted && rig.records[0].dropNotSent);
    QVERIFY(!rig.records[0].dropAfterStartMs);
    QCOMPARE(rig.notices.size(), 1);
    rig.clock.advance(20'000);
    QVERIFY(!rig.port.sent.contains(QStringLiteral("A 00"))); // nobody asked for a drop
}

// ---------------------------------------------------------------- the module comes back

void StartModelTest::moduleBackAtRestKeepsAGateThatIsUp() {
    ModelRig rig;
    StartSettings settings = ModelRig::trackSettings();
    settings.gateTiming.reset(); // no drop: the ready state would take the gate down
    rig.model.setSettings(settings);
    rig.toCadence();
    rig.port.connected_ = false;
    rig.model.moduleLost();
    rig.clock.advance(30'000); // the ready state comes while the module is away
    QCOMPARE(rig.model.state(), StartState::Ready);
    rig.port.connected_ = true;
    const qsizetype before = rig.port.sent.size();
    rig.model.moduleBack(0x01); // the gate is still up
    QCOMPARE(rig.model.state(), StartState::GateUp);
    QCOMPARE(captionText(rig.model.caption()), caption::Start);
    QVERIFY(rig.model.lampLit(4));
    QCOMPARE(since(rig.port.sent, before), QStringList{});

    // A gate that is down at rest: the ready state, as ever.
    ModelRig resting;
    resting.port.connected_ = false;
    resting.model.moduleLost();
    resting.port.connected_ = true;
    resting.model.moduleBack(0x00);
    QCOMPARE(resting.port.sent, QStringList{QStringLiteral("A 00")});
}

void StartModelTest::gateFallenDuringAHoldEndsTheStart() {
    ModelRig rig;
    rig.toCadence();
    rig.model.click();
    QCOMPARE(rig.model.state(), StartState::HeldOnScreen);
    rig.port.connected_ = false;
    rig.model.moduleLost();
    rig.clock.advance(5000);
    rig.port.connected_ = true;
    rig.model.moduleBack(0x00); // it lost its power: every line off
    QCOMPARE(rig.model.state(), StartState::Ready);
    QCOMPARE(captionText(rig.model.caption()), caption::Put_Up_Gate);
    QCOMPARE(rig.notices.size(), 1);
    rig.model.click(); // no release of a start whose gate has fallen
    QCOMPARE(rig.model.state(), StartState::GateHoldOff);
    rig.clock.advance(20'000);
    QVERIFY(!rig.sounds().contains(start_sounds::Riders_Ready));
    QCOMPARE(rig.records.size(), 1);
    QVERIFY(rig.records[0].aborted);
}

// What the module holds after a loss is read, not guessed: a light the start switched
// off while the module was away, and a pulse that ended meanwhile, are switched off when
// it comes back; their lamps show what is true meanwhile.
void StartModelTest::outputsLeftOnWhileAwayAreSwitchedOffOnReturn() {
    ModelRig rig;
    StartSettings settings = ModelRig::trackSettings();
    settings.gateTiming = 1;
    settings.pulseLine = 5;
    rig.model.setSettings(settings);
    rig.toBeeps();
    rig.clock.advance(150); // red on
    QVERIFY(rig.model.lampLit(0));
    rig.port.connected_ = false;
    rig.model.moduleLost();
    rig.model.abort();
    QVERIFY(rig.model.lampLit(0)); // its off did not go out
    const qsizetype before = rig.port.sent.size();
    rig.port.connected_ = true;
    rig.model.moduleBack(0x03); // gate and red on
    QCOMPARE(since(rig.port.sent, before), QStringList{QStringLiteral("L 01")});
    QVERIFY(!rig.model.lampLit(0));
    QVERIFY(rig.model.lampLit(4));

    ModelRig pulse;
    pulse.model.setSettings(settings);
    pulse.toBeeps();
    pulse.clock.advance(300); // beep 2 drops, the pulse goes on
    QVERIFY(pulse.port.sent.contains(QStringLiteral("H 05")));
    pulse.port.connected_ = false;
    pulse.model.moduleLost();
    pulse.clock.advance(200); // the pulse's end is not sent
    pulse.port.connected_ = true;
    const qsizetype sentBefore = pulse.port.sent.size();
    // Beep 3 came meanwhile: orange is still on, green never came on, the pulse is on.
    pulse.model.moduleBack(quint8(0x04 | 1 << 5));
    QCOMPARE(since(pulse.port.sent, sentBefore),
             (QStringList{QStringLiteral("L 02"), QStringLiteral("L 05")}));
    QVERIFY(!pulse.model.lampLit(2));
}

// ---------------------------------------------------------------- race and record

void StartModelTest::raceRunsFromTheDropToTheBreakBetweenSamples() {
    ModelRig rig;
    rig.toBeeps();
    rig.sample(false, true); // broken before the drop: no finish
    rig.clock.advance(150);  // the drop
    QVERIFY(rig.port.fast);
    rig.model.abort(); // the riders are away: nothing to call off
    QCOMPARE(rig.model.state(), StartState::Dropped);
    const qint64 dropNs = rig.port.sentNs[rig.port.sent.indexOf(Gate_Down)];
    rig.sample(false, true); // a bike in the beam at the drop
    rig.clock.advance(5000);
    rig.sample(false, true);
    QCOMPARE(rig.model.raceTimeText(), QString());
    rig.clock.advance(25'000);
    rig.sample(false, false); // clear
    rig.clock.advance(4);
    rig.sample(false, true); // broken: the break lies between the two samples
    QCOMPARE(rig.model.raceTimeMs(), qint32((rig.clock.nowNs() - 2 * Ms - dropNs) / Ms));
    QCOMPARE(rig.model.raceTimeText(), QStringLiteral("30.00"));
    QVERIFY(!rig.model.raceWatched());

    ModelRig nobody;
    nobody.toBeeps();
    nobody.clock.advance(150 + cadence::Race_Limit_Ms);
    QCOMPARE(nobody.model.raceTimeText(), QStringLiteral("--.--"));
    QVERIFY(!nobody.port.fast); // at rest again
}

// A start is on disk by its ready state at the latest, at once for an abort; the race
// time, known later, follows in a line of its own; a program that closes writes what a
// start has so far.
void StartModelTest::recordIsOnDiskByTheReadyStateAndTheRaceTimeFollows() {
    ModelRig rig;
    rig.player.setFileState(start_sounds::Riders_Ready, SoundFileState::Missing);
    rig.toBeeps();
    rig.clock.advance(150 + 600 + cadence::Ready_After_Last_Beep_Ms);
    QCOMPARE(rig.model.state(), StartState::Ready);
    QCOMPARE(rig.records.size(), 1);
    QCOMPARE(rig.records[0].raceTime, QString());
    QCOMPARE(rig.records[0].sound, QStringLiteral("stand-in tone for Riders_ready.wav"));
    rig.sample(false, false);
    rig.clock.advance(20'000);
    rig.sample(false, true);
    QCOMPARE(rig.records.size(), 2);
    QCOMPARE(rig.records[1].when, rig.records[0].when);
    QVERIFY(!rig.records[1].raceTime.isEmpty());

    ModelRig closing;
    closing.toCadence();
    closing.model.close();
    QCOMPARE(closing.records.size(), 1);
    closing.model.close();
    QCOMPARE(closing.records.size(), 1);
}

void StartModelTest::readTimeoutIsToldOnlyWhileTheButtonCanAct() {
    ModelRig rig;
    rig.model.sampleFailed(); // at rest
    rig.toCadence();
    rig.model.sampleFailed(); // a hold is still possible
    rig.clock.advance(cadence::Riders_Ready_Ms);
    rig.model.sampleFailed(); // announced: the button can do nothing
    rig.clock.advance(10'000);
    rig.model.sampleFailed(); // the race
    QCOMPARE(rig.readTimeouts, 2);
}

QTEST_GUILESS_MAIN(StartModelTest)
#include "tst_start_model.moc"
