// The race time from the finish beam, on the real window and timers against the virtual
// module: the gate is dropped by the beep-1 step and the beam is broken on the module.
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

// A start from its cadence straight to the drop at beep 1; the later beeps run on their
// own timers. Returns the module's stamp of the drop.
qint64 dropGate(StartRig& rig) {
    rig->Start_Cadence();
    rig->Riders_ready.stop();
    rig->Timer1_Timer();
    const bool dropped = runUntil([&] { return rig.outputStampNs("L 00") >= 0; }, 2000);
    return dropped ? rig.outputStampNs("L 00") : -1;
}

bool raceOver(StartRig& rig) {
    return runUntil([&] { return !rig->Race_timer.isActive(); }, Race_Over_Ms);
}

// The panel shows the time from the drop to the break, late by at most a tick and a
// read (cut to hundredths, so up to 10 ms early); generous for a busy machine.
void verifyShownTime(StartRig& rig, qint64 dropNs, qint64 breakNs) {
    const QString shown = rig->Time_seconds->text();
    QCOMPARE(shown, race::raceTimeText(rig->Race_time));
    QCOMPARE(rig->Race_time, qint32(rig->Race_End - rig->Race_Start));
    const qint64 trueMs = msBetween(dropNs, breakNs);
    const qint64 errorMs = qint64(shown.toDouble() * 1000 + 0.5) - trueMs;
    QVERIFY2(
        errorMs >= -15 && errorMs <= 150,
        qPrintable(
            QStringLiteral("shown %1 s for a break %2 ms after the drop").arg(shown).arg(trueMs)));
}

// With the beam broken at the drop the race runs on; only a break after the beam has
// read clear ends it, with the time from the drop to that break.
void verifyBeamBrokenAtTheDropIsNoFinish(StartRig& rig) {
    const qint64 drop = dropGate(rig);
    runEventsFor(300);
    QVERIFY(rig->Race_timer.isActive());
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
    void limitEndsTheRaceAtItsMillisecondAcrossTheWrap_data();
    void limitEndsTheRaceAtItsMillisecondAcrossTheWrap();
    void aFinishedRaceLeavesNothingForTheNext();
    void newStartClearsThePanelAndTheRace_data();
    void newStartClearsThePanelAndTheRace();
    void noFinishBeamLineTakesNoTime();
    void raceRunsPastTheReadyStateBesideThePollAndTheDebugWindow();
    void lateRepliesOpenNoBoxAndTimingGoesOn();
    void strayByteOnTheLinkIsNoFinish();
    void beepsAfterTheDropKeepTheirIntervalWhileTheBeamIsRead();

private:
    std::unique_ptr<StartRig> rig_;
};

void RaceTimeTest::init() {
    rig_ = std::make_unique<StartRig>();
    QVERIFY(rig_->load());
    rig_->stopBackgroundTimers();
    rig_->window().Finish_Beam = qint16(1 << Finish_Line);
    rig_->window().Gate_timing[0]->setChecked(true);
    QVERIFY(!rig_->window().Race_timer.isActive()); // nothing is watched before a drop
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
    QVERIFY(rig->Race_timer.isActive());
    runEventsFor(700);
    QVERIFY(rig->Time_seconds->text().isEmpty()); // nothing shown while the race runs
    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    verifyShownTime(rig, drop, broken);

    const QString shown = rig->Time_seconds->text();
    const int reads = rig.portReads();
    setBeam(rig, false);
    runEventsFor(100);
    setBeam(rig, true);
    runEventsFor(200);
    QCOMPARE(rig->Time_seconds->text(), shown);
    QCOMPARE(rig.portReads(), reads); // the finished race reads nothing more
}

void RaceTimeTest::beamBrokenAtTheDropIsNoFinish() {
    StartRig& rig = *rig_;
    setBeam(rig, true);
    verifyBeamBrokenAtTheDropIsNoFinish(rig);
}

void RaceTimeTest::noBreakWithinTheLimitShowsDashes() {
    StartRig& rig = *rig_;
    rig->Race_Limit_Ms = 400;
    const qint64 drop = dropGate(rig);
    QVERIFY(raceOver(rig));
    QVERIFY(msBetween(drop, monotonicNs()) >= 390);
    QCOMPARE(rig->Time_seconds->text(), QStringLiteral("--.--"));
    QCOMPARE(rig->Race_End, 0u);
    QCOMPARE(rig->Race_time, 0);
}

void RaceTimeTest::limitEndsTheRaceAtItsMillisecondAcrossTheWrap_data() {
    QTest::addColumn<quint32>("dropTick");
    QTest::newRow("mid-count") << quint32(5'000'000);
    QTest::newRow("across the 32-bit wrap") << quint32(0xFFFFFFFF - 60'000);
}

// On a clock of the test's own: 119.999 s after the drop the beam is still watched, at
// 120.000 s the race ends without a finish.
void RaceTimeTest::limitEndsTheRaceAtItsMillisecondAcrossTheWrap() {
    QFETCH(quint32, dropTick);
    StartRig& rig = *rig_;
    quint32 now = dropTick;
    rig->Race_Clock = [&now] { return now; };
    QVERIFY(dropGate(rig) >= 0);
    QCOMPARE(rig->Race_Start, dropTick);
    rig->Race_timer.stop(); // the test ticks it
    rig->Race_timer.start();
    now = dropTick + 119'999;
    rig->Race_timer_Timer();
    QVERIFY(rig->Race_timer.isActive());
    QVERIFY(rig->Time_seconds->text().isEmpty());
    now = dropTick + 120'000;
    rig->Race_timer_Timer();
    QVERIFY(!rig->Race_timer.isActive());
    QCOMPARE(rig->Time_seconds->text(), QStringLiteral("--.--"));
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
    rig->Race_Limit_Ms = race == "over" ? 200 : 120000;
    dropGate(rig);
    runEventsFor(300);
    if (race == "finished") {
        breakBeam(rig);
        QVERIFY(raceOver(rig));
    }
    QCOMPARE(rig->Race_timer.isActive(), race == "running");
    QVERIFY(race == "running" || !rig->Time_seconds->text().isEmpty());

    rig->Start_Cadence();
    QVERIFY(!rig->Race_timer.isActive());
    QVERIFY(rig->Time_seconds->text().isEmpty());
    QCOMPARE(rig->Race_Start, 0u);
    QCOMPARE(rig->Race_End, 0u);
    QCOMPARE(rig->Race_time, 0);
}

void RaceTimeTest::noFinishBeamLineTakesNoTime() {
    StartRig& rig = *rig_;
    rig->Finish_Beam = 0;
    dropGate(rig);
    QVERIFY(rig->Race_Start != 0);
    QVERIFY(!rig->Race_timer.isActive());
    breakBeam(rig);
    runEventsFor(200);
    QVERIFY(rig->Time_seconds->text().isEmpty());
    QCOMPARE(rig.portReads(), 0);
}

void RaceTimeTest::raceRunsPastTheReadyStateBesideThePollAndTheDebugWindow() {
    StartRig& rig = *rig_;
    rig->Polling_start_input.start();
    const qint64 drop = dropGate(rig);
    runEventsFor(200);
    rig->Set_Ready_State();
    QVERIFY(rig->Race_timer.isActive());

    rig->Debug_io_Click();
    QPointer<frmDebug_window> debug = rig->Debug_Window;
    QVERIFY(debug);
    rig.module().setLine(8 + 5, true);
    QVERIFY(runUntil([&] { return debug->CheckB[5]->isChecked(); }, 2000));
    rig.setButton(true);
    QVERIFY(runUntil([&] { return rig->Window_start_button->text() == "Start"; }, 2000));
    rig.setButton(false);
    QVERIFY(rig.outputs().contains(QStringLiteral("H 00")));

    const qint64 broken = breakBeam(rig);
    QVERIFY(raceOver(rig));
    // A debug refresh (three reads) may come between the break and the race's read.
    const QString shown = rig->Time_seconds->text();
    QVERIFY2(shown.toDouble() * 1000 >= msBetween(drop, broken) - 15, qPrintable(shown));
    QVERIFY2(shown.toDouble() * 1000 <= msBetween(drop, broken) + 1500, qPrintable(shown));
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
    // Noise that reads as every line on arrives between two ticks.
    rig->Race_timer.stop();
    rig.module().injectBytes(QByteArray(1, char(0xFF)));
    runEventsFor(50);
    const int reads = rig.portReads();
    rig->Race_timer.start();
    runEventsFor(100);
    QVERIFY(rig.portReads() > reads);
    QVERIFY(rig->Race_timer.isActive());
    QVERIFY(rig->Time_seconds->text().isEmpty());
    QVERIFY(rig.messages().messages.isEmpty());
}

void RaceTimeTest::beepsAfterTheDropKeepTheirIntervalWhileTheBeamIsRead() {
    StartRig& rig = *rig_;
    constexpr int beepMs = 200;
    rig->HScroll1->setValue(beepMs);
    // Each read now blocks the window for 80 ms: one running into a beep would delay it.
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
    QVERIFY2(lateMs <= 45, qPrintable(QStringLiteral("beeps 2 to 4 late by %1 ms").arg(lateMs)));
}

QTEST_MAIN(RaceTimeTest)
#include "tst_race_time.moc"
