// Whole starts in real time: the real window and timers against the virtual module,
// started through the external button. The first runs on the program's own intervals
// up to the last beep and takes about 11 s; the others shorten them all. Time windows are
// generous on purpose; the exact bytes and their order are not.
#include "tests/support/start_helpers.h"

#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

constexpr int Watch_The_Gate_Sound_Ms = 300;

qint64 msBetween(qint64 fromNs, qint64 toNs) {
    return (toNs - fromNs) / 1000000;
}

#define VERIFY_WITHIN(value, low, high)                                                            \
    QVERIFY2(                                                                                      \
        (value) >= (low) && (value) <= (high),                                                     \
        qPrintable(                                                                                \
            QStringLiteral(#value " = %1 ms, expected %2..%3").arg(value).arg(low).arg(high)))

// The commands of a start without delay whose gate drops at `dropBeep` (1..4).
QStringList expectedOutputs(int dropBeep) {
    const QStringList beeps[] = {{"H 01"}, {"L 01", "H 02"}, {"L 02", "H 03"}, {"H 03"}};
    QStringList expected = {"H 00"};
    for (int beep = 1; beep <= 4; ++beep) {
        expected << beeps[beep - 1];
        if (beep == dropBeep)
            expected << "L 00";
    }
    return expected << "A 00";
}

// Presses the external button for the gate, then again after the hold-off for the
// start, letting go each time as soon as the window has seen it; `started` runs once
// the cadence has begun. Returns when the ready state's "A 00" has reached the module.
void runExternalStart(StartRig& rig, const std::function<void()>& started = {}) {
    const auto caption = [&] { return rig->Window_start_button->text(); };
    rig.setButton(true);
    QVERIFY(runUntil([&] { return caption() == QLatin1String("Start"); }, 2000));
    rig.setButton(false);
    QVERIFY(runUntil([&] { return rig->Window_start_button->isEnabled(); }, 6000));
    rig.setButton(true);
    QVERIFY(runUntil([&] { return caption() == QLatin1String("Delay"); }, 2000));
    rig.setButton(false);
    if (started)
        started();
    QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("A 00")); }, 30000, 20));
}

struct Timeline {
    qint64 gateUp, okRiders, ridersReady, watchTheGate, ready;
    std::array<qint64, 4> beeps;
};

Timeline timelineOf(const StartRig& rig) {
    return {rig.outputStampNs("H 00"),
            rig.soundStampNs("ok_riders.wav"),
            rig.soundStampNs("Riders_ready.wav"),
            rig.soundStampNs("Watch_the_gate.wav"),
            rig.outputStampNs("A 00"),
            {rig.outputStampNs("H 01"), rig.outputStampNs("H 02"), rig.outputStampNs("H 03", 0),
             rig.outputStampNs("H 03", 1)}};
}

// The timeline of a start, each step against the one before it, on the design's intervals.
void verifyTimeline(const Timeline& t, int beepMs, int readyMs) {
    using namespace cadence;
    // The hold-off, then a press.
    VERIFY_WITHIN(msBetween(t.gateUp, t.okRiders), Hold_Off_Ms - 10, Hold_Off_Ms + 2000);
    VERIFY_WITHIN(msBetween(t.okRiders, t.ridersReady), Riders_Ready_Ms - 10,
                  Riders_Ready_Ms + 500);
    VERIFY_WITHIN(msBetween(t.ridersReady, t.watchTheGate), Watch_The_Gate_Ms - 10,
                  Watch_The_Gate_Ms + 500);
    VERIFY_WITHIN(msBetween(t.watchTheGate, t.beeps[0]), Watch_The_Gate_Sound_Ms + beepMs - 10,
                  Watch_The_Gate_Sound_Ms + beepMs + 400);
    QStringList errors;
    for (int k = 1; k < 4; ++k) {
        const qint64 gapUs = (t.beeps[k] - t.beeps[k - 1]) / 1000;
        errors << QString::number((gapUs - beepMs * 1000) / 1000.0, 'f', 2);
        VERIFY_WITHIN(gapUs / 1000, beepMs - 10, beepMs + 250);
    }
    qInfo("beep-to-beep interval errors at %d ms (module stamps): %s ms", beepMs,
          qPrintable(errors.join(QStringLiteral(", "))));
    VERIFY_WITHIN(msBetween(t.beeps[3], t.ready), readyMs - 10, readyMs + 800);
}

// On a busy machine the module may answer a poll after its 100 ms: the program then
// shows "Read Timeout" and reads one reply behind, which these starts survive.
void noteLateReplies(StartRig& rig) {
    if (!rig.messages().messages.isEmpty())
        qWarning("%d poll(s) timed out during the start", int(rig.messages().messages.size()));
}

} // namespace

class StartRealtimeTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void externalStartDropsWithTheFirstBeep();
    void externalStartDropsBeforeTheLongTone();
    void moduleFallingSilentMidStartShowsOneMessageAndTheStartCompletes();

private:
    void prepare(int gateTiming, int beepMs);
    std::unique_ptr<StartRig> rig_;
};

void StartRealtimeTest::init() {
    rig_ = std::make_unique<StartRig>();
    QVERIFY(rig_->load());
}

void StartRealtimeTest::cleanup() {
    rig_.reset();
}

void StartRealtimeTest::prepare(int gateTiming, int beepMs) {
    rig_->window().Gate_timing[gateTiming]->setChecked(true);
    rig_->window().HScroll1->setValue(beepMs);
    rig_->sound().syncMs = Watch_The_Gate_Sound_Ms;
}

void StartRealtimeTest::externalStartDropsWithTheFirstBeep() {
    StartRig& rig = *rig_;
    prepare(0, 150);
    // Only the ready state comes sooner than at a track.
    setTestSpeed(rig.window(), {cadence::Hold_Off_Ms, cadence::Riders_Ready_Ms,
                                cadence::Watch_The_Gate_Ms, 1000});
    runExternalStart(rig);
    noteLateReplies(rig);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(rig.outputs(), expectedOutputs(1));
    const Timeline t = timelineOf(rig);
    verifyTimeline(t, 150, 1000);
    // The first tone starts just before the gate line falls, with the red light.
    const qint64 drop = rig.outputStampNs("L 00");
    QVERIFY(rig.soundStampNs("BMX_start_tone.wav") < drop);
    VERIFY_WITHIN(msBetween(t.beeps[0], drop), 0, 50);
    QVERIFY(rig->startSequence.raceStartTick() != 0);
}

void StartRealtimeTest::externalStartDropsBeforeTheLongTone() {
    StartRig& rig = *rig_;
    prepare(3, 250);
    setTestSpeed(rig.window());
    runExternalStart(rig);
    noteLateReplies(rig);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(rig.outputs(), expectedOutputs(4));
    const Timeline t = timelineOf(rig);
    VERIFY_WITHIN(msBetween(t.watchTheGate, t.beeps[0]), Watch_The_Gate_Sound_Ms + 250 - 10,
                  Watch_The_Gate_Sound_Ms + 250 + 400);
    VERIFY_WITHIN(msBetween(t.beeps[0], t.beeps[3]), 3 * 250 - 10, 3 * 250 + 100);
    VERIFY_WITHIN(msBetween(t.beeps[3], rig.outputStampNs("L 00")), 0, 50);
    VERIFY_WITHIN(msBetween(rig.outputStampNs("L 00"), rig.soundStampNs("BMX_start_tone_long.wav")),
                  -50, 50);
}

void StartRealtimeTest::moduleFallingSilentMidStartShowsOneMessageAndTheStartCompletes() {
    StartRig& rig = *rig_;
    prepare(1, 150);
    setTestSpeed(rig.window());
    MessageRecorder& recorder = rig.messages();
    // The operator leaves the message open: its event loop runs the rest of the start.
    recorder.whileOpen = [&](const Message&) {
        runUntil([&] { return rig.outputs().contains(QStringLiteral("A 00")); }, 30000, 20);
        rig.module().setSilent(false); // the test ends with this start
    };
    qsizetype before = 0;
    runExternalStart(rig, [&] {
        before = recorder.messages.size();
        rig.module().setSilent(true);
    });
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(recorder.messages.size(), before + 1);
    QCOMPARE(recorder.messages.last().text, QStringLiteral("Read Timeout"));
    QCOMPARE(rig.outputs(), expectedOutputs(2));
    QCOMPARE(rig->Window_start_button->text(), QStringLiteral("Click to put up gate"));
    QVERIFY(rig->Window_start_button->isEnabled());
    const Timeline t = timelineOf(rig);
    VERIFY_WITHIN(msBetween(t.okRiders, t.beeps[3]), 600 + 500 + 300 + 4 * 150 - 10, 4000);
}

QTEST_MAIN(StartRealtimeTest)
#include "tst_start_realtime.moc"
