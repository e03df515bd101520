// The race time from the finish beam, on the real window and link against the virtual
// module: the gate drops with beep 1 and the beam is broken on the module. The rules
// themselves (the break between two samples, a beam broken at the drop, the limit) are
// the start model's, tested in tst_start_model; here the samples come over the wire.
#include "dialogs/frmDebug_window.h"
#include "sequence/race_clock.h"
#include "tests/support/start_helpers.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

constexpr int Finish_Line = 1; // of port B
constexpr int Race_Over_Ms = 3000;

qint64 msBetween(qint64 fromNs, qint64 toNs) {
    return (toNs - fromNs) / 1000000;
}

void setBeam(StartRig& rig, bool broken) {
    rig.module().setLine(8 + Finish_Line, broken);
}

// Monotonic ns when the beam was broken.
qint64 breakBeam(StartRig& rig) {
    const qint64 at = monotonicNs();
    setBeam(rig, true);
    return at;
}

// A start from its cadence straight to the drop at beep 1: its calls 10 ms apart, the
// later beeps on their own timers. Returns the module's stamp of the drop.
qint64 dropGate(StartRig& rig) {
    if (rig->startSequence.state() != StartState::Ready)
        rig->Set_Ready_State();
    rig->startSequence.setIntervals({4000, 10, 10, 10000});
    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
    rig->Window_start_button_Click();
    const bool dropped = runUntil([&] { return rig.outputStampNs("L 00") >= 0; }, 2000);
    return dropped ? rig.outputStampNs("L 00") : -1;
}

bool raceOver(StartRig& rig) {
    return runUntil([&] { return !rig->startSequence.raceWatched(); }, Race_Over_Ms);
}

// The panel shows the time from the drop to the break, cut to hundredths (so up to 10 ms
// early); a sample a millisecond or two late at most, generous for a busy machine.
void verifyShownTime(StartRig& rig, qint64 dropNs, qint64 breakNs) {
    const QString shown = rig->Time_seconds->text();
    QCOMPARE(shown, race::raceTimeText(rig->startSequence.raceTimeMs()));
    const qint64 trueMs = msBetween(dropNs, breakNs);
    const qint64 errorMs = rig->startSequence.raceTimeMs() - trueMs;
    QVERIFY2(errorMs >= -3 && errorMs <= 30,
             qPrintable(QStringLiteral("%1 ms for a break %2 ms after the drop")
                            .arg(rig->startSequence.raceTimeMs())
                            .arg(trueMs)));
}

// With the beam broken at the drop the race runs on; only a break after the beam has
// read clear ends it, with the time from the drop to that break.
void verifyBeamBrokenAtTheDropIsNoFinish(StartRig& rig) {
    const qint64 drop = dropGate(rig);
    runEventsFor(300);
    QVERIFY(rig->startSequence.raceWatched());
    QVERIFY(rig->Time_seconds->text().isEmpty());
    setBeam(rig, false);
    runEventsFor(200);
    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    verifyShownTime(rig, drop, broken);
}

} // namespace

class RaceTimeTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void panelShowsHundredthsCutNotRounded_data();
    void panelShowsHundredthsCutNotRounded();
    void breakShowsTheRaceTimeAndLaterBreaksAreIgnored();
    void beamBrokenAtTheDropIsNoFinish();
    void noBreakWithinTheLimitShowsDashes();
    void aFinishedRaceLeavesNothingForTheNext();
    void newStartClearsThePanelAndTheRace_data();
    void newStartClearsThePanelAndTheRace();
    void noFinishBeamLineTakesNoTime();
    void raceRunsPastTheReadyStateBesideThePollAndTheDebugWindow();
    void lateRepliesOpenNoBoxAndTimingGoesOn();
    void strayByteOnTheLinkIsNoFinish();
    void beepsAfterTheDropKeepTheirIntervalWhileTheBeamIsRead();
    void moduleLostInTheRaceIsTakenBackAndTimesTheFinish();

private:
    std::unique_ptr<StartRig> rig_;
};

void RaceTimeTest::init() {
    rig_ = std::make_unique<StartRig>();
    QVERIFY(rig_->load());
    rig_->stopBackgroundTimers();
    rig_->window().Finish_Beam = qint16(1 << Finish_Line);
    rig_->window().Gate_timing[0]->setChecked(true);
    rig_->window().pushSettings();
    QVERIFY(!rig_->window().startSequence.raceWatched()); // nothing is watched before a drop
}

void RaceTimeTest::cleanup() {
    rig_.reset();
}

void RaceTimeTest::panelShowsHundredthsCutNotRounded_data() {
    QTest::addColumn<int>("ms");
    QTest::addColumn<QString>("shown");
    QTest::newRow("nothing") << 0 << "0.00";
    QTest::newRow("under a hundredth") << 9 << "0.00";
    QTest::newRow("one hundredth") << 10 << "0.01";
    QTest::newRow("cut, not rounded up") << 32479 << "32.47";
    QTest::newRow("a tenth needs its zero") << 5007 << "5.00";
    QTest::newRow("the limit") << 120000 << "120.00";
}

void RaceTimeTest::panelShowsHundredthsCutNotRounded() {
    QFETCH(int, ms);
    QFETCH(QString, shown);
    QCOMPARE(race::raceTimeText(ms), shown);
}

void RaceTimeTest::breakShowsTheRaceTimeAndLaterBreaksAreIgnored() {
    StartRig& rig = *rig_;
    const qint64 drop = dropGate(rig);
    QVERIFY(drop >= 0);
    QVERIFY(rig->startSequence.raceWatched());
    runEventsFor(700);
    QVERIFY(rig->Time_seconds->text().isEmpty()); // nothing shown while the race runs
    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    verifyShownTime(rig, drop, broken);

    const QString shown = rig->Time_seconds->text();
    setBeam(rig, false);
    runEventsFor(100);
    setBeam(rig, true);
    runEventsFor(200);
    QCOMPARE(rig->Time_seconds->text(), shown);
}

void RaceTimeTest::beamBrokenAtTheDropIsNoFinish() {
    StartRig& rig = *rig_;
    setBeam(rig, true);
    verifyBeamBrokenAtTheDropIsNoFinish(rig);
}

void RaceTimeTest::noBreakWithinTheLimitShowsDashes() {
    StartRig& rig = *rig_;
    rig->startSequence.setRaceLimitMs(400);
    const qint64 drop = dropGate(rig);
    QVERIFY(raceOver(rig));
    QVERIFY(msBetween(drop, monotonicNs()) >= 390);
    QCOMPARE(rig->Time_seconds->text(), QStringLiteral("--.--"));
    QCOMPARE(rig->startSequence.raceTimeMs(), 0);
}

// A race that finished leaves the beam broken (a rider stands in it). The next start's
// race must not take that for its finish: only a break after the beam reads clear.
void RaceTimeTest::aFinishedRaceLeavesNothingForTheNext() {
    StartRig& rig = *rig_;
    dropGate(rig);
    runEventsFor(100);
    breakBeam(rig);
    QVERIFY(raceOver(rig));
    QVERIFY(!rig->Time_seconds->text().isEmpty());

    rig.module().clearCommands(); // the next drop is the one stamped
    verifyBeamBrokenAtTheDropIsNoFinish(rig);
}

void RaceTimeTest::newStartClearsThePanelAndTheRace_data() {
    QTest::addColumn<QString>("race");
    QTest::newRow("finished") << "finished";
    QTest::newRow("still running") << "running";
    QTest::newRow("over the limit") << "over";
}

void RaceTimeTest::newStartClearsThePanelAndTheRace() {
    QFETCH(QString, race);
    StartRig& rig = *rig_;
    rig->startSequence.setRaceLimitMs(race == "over" ? 200 : 120000);
    dropGate(rig);
    runEventsFor(300);
    if (race == "finished") {
        breakBeam(rig);
        QVERIFY(raceOver(rig));
    }
    QCOMPARE(rig->startSequence.raceWatched(), race == "running");
    QVERIFY(race == "running" || !rig->Time_seconds->text().isEmpty());

    rig->Set_Ready_State();
    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
    rig->Window_start_button_Click();
    QVERIFY(!rig->startSequence.raceWatched());
    QVERIFY(rig->Time_seconds->text().isEmpty());
    QCOMPARE(rig->startSequence.raceStartTick(), 0u);
    QCOMPARE(rig->startSequence.raceTimeMs(), 0);
}

void RaceTimeTest::noFinishBeamLineTakesNoTime() {
    StartRig& rig = *rig_;
    rig->Finish_Beam = 0;
    rig->pushSettings();
    dropGate(rig);
    QVERIFY(rig->startSequence.raceStartTick() != 0);
    QVERIFY(!rig->startSequence.raceWatched());
    breakBeam(rig);
    runEventsFor(200);
    QVERIFY(rig->Time_seconds->text().isEmpty());
    // At rest again nothing is watched: port B is read at its slow pace.
    rig->Set_Ready_State();
    runEventsFor(100);
    const int reads = rig.portReads();
    runEventsFor(600);
    QVERIFY(rig.portReads() - reads <= 2);
}

void RaceTimeTest::raceRunsPastTheReadyStateBesideThePollAndTheDebugWindow() {
    StartRig& rig = *rig_;
    const qint64 drop = dropGate(rig);
    runEventsFor(200);
    rig->Set_Ready_State();
    QVERIFY(rig->startSequence.raceWatched());

    rig->Debug_io_Click();
    QPointer<frmDebug_window> debug = rig->debugWindow;
    QVERIFY(debug);
    rig.module().setLine(8 + 5, true);
    QVERIFY(runUntil([&] { return debug->CheckB[5]->isChecked(); }, 2000));
    rig.setButton(true);
    QVERIFY(runUntil([&] { return rig->Window_start_button->text() == "Start"; }, 2000));
    rig.setButton(false);
    QVERIFY(rig.outputs().contains(QStringLiteral("H 00")));

    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    // A debug refresh's read may come between two samples.
    const QString shown = rig->Time_seconds->text();
    QVERIFY2(shown.toDouble() * 1000 >= msBetween(drop, broken) - 15, qPrintable(shown));
    QVERIFY2(shown.toDouble() * 1000 <= msBetween(drop, broken) + 100, qPrintable(shown));
    // Interleaved exchanges would leave a reply for the wrong read: "Read Timeout".
    QVERIFY(rig.messages().messages.isEmpty());
    debug->close();
}

void RaceTimeTest::lateRepliesOpenNoBoxAndTimingGoesOn() {
    StartRig& rig = *rig_;
    const qint64 drop = dropGate(rig);
    runEventsFor(100);
    rig.stopBackgroundTimers(); // only the race reads
    // Replies that come after their reads have given up; a box would block the window.
    rig.module().setReplyDelayMs(150);
    runEventsFor(400);
    rig.module().setReplyDelayMs(0);
    runEventsFor(100);
    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    verifyShownTime(rig, drop, broken);
    QVERIFY(rig.messages().messages.isEmpty());
}

void RaceTimeTest::strayByteOnTheLinkIsNoFinish() {
    StartRig& rig = *rig_;
    dropGate(rig);
    runEventsFor(500); // past the beeps
    // Noise that reads as every line on arrives between two samples.
    const int reads = rig.portReads();
    rig.module().injectBytes(QByteArray(1, char(0xFF)));
    runEventsFor(100);
    QVERIFY(rig.portReads() > reads);
    QVERIFY(rig->startSequence.raceWatched());
    QVERIFY(rig->Time_seconds->text().isEmpty());
    QVERIFY(rig.messages().messages.isEmpty());
}

void RaceTimeTest::beepsAfterTheDropKeepTheirIntervalWhileTheBeamIsRead() {
    StartRig& rig = *rig_;
    constexpr int beepMs = 200;
    rig->HScroll1->setValue(beepMs);
    // Each read waits 80 ms for its reply: none of that may reach the window's thread.
    rig.module().setReplyDelayMs(80);
    dropGate(rig);
    QVERIFY(runUntil([&] { return rig.outputStampNs("H 03", 1) >= 0; }, 3000));
    const qint64 beep1 = rig.outputStampNs("H 01");
    const qint64 beep4 = rig.outputStampNs("H 03", 1);
    int readsDuringBeeps = 0;
    for (const sim::VirtualModule::Command& command : rig.module().commands())
        readsDuringBeeps += command.bytes == "b" && command.atNs > beep1 && command.atNs < beep4;
    QVERIFY(readsDuringBeeps > 0);
    // Each beep is armed by the one before, so any delay adds up over the three gaps.
    const qint64 lateMs = msBetween(beep1, beep4) - 3 * beepMs;
    QVERIFY2(lateMs <= 15, qPrintable(QStringLiteral("beeps 2 to 4 late by %1 ms").arg(lateMs)));
}

// Unplugged after the drop and back a second later: the module is taken back within two
// seconds and the race goes on with it, its finish timed.
void RaceTimeTest::moduleLostInTheRaceIsTakenBackAndTimesTheFinish() {
    StartRig& rig = *rig_;
    const qint64 drop = dropGate(rig);
    runEventsFor(300);
    rig.module().unplug();
    QVERIFY(runUntil([&] { return !rig->MSComm1.connected(); }, 2000));
    runEventsFor(1000);
    const qint64 backNs = monotonicNs();
    QVERIFY(rig.module().replug());
    QVERIFY(runUntil([&] { return rig->MSComm1.connected(); }, 2000));
    QVERIFY2(msBetween(backNs, monotonicNs()) < 2000,
             qPrintable(QString::number(msBetween(backNs, monotonicNs()))));
    QVERIFY(rig->startSequence.raceWatched());
    runEventsFor(100);
    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    verifyShownTime(rig, drop, broken);
}

QTEST_MAIN(RaceTimeTest)
#include "tst_race_time.moc"
