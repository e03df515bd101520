// The window as the view of a start, on the real link to the virtual module: its clicks
// and Esc reach the start, it shows the start as the model holds it (captions, lamps,
// Abort, settings locked while a start runs), and its timers run each step once, never
// before its due time. What the start does is tst_start_model's.
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

QList<int> litLamps(frmUSB_Main& w) {
    QList<int> lit;
    for (int lamp = 0; lamp < int(w.Shape1.size()); ++lamp) {
        if (w.Shape1[std::size_t(lamp)]->isLit())
            lit << lamp;
    }
    return lit;
}

struct Shown {
    QString caption;
    bool enabled;
    bool abort;
    bool optionsEnabled;
    friend bool operator==(const Shown&, const Shown&) = default;
};

Shown shown(frmUSB_Main& w) {
    return {w.Window_start_button->text(), w.Window_start_button->isEnabled(),
            w.abortButton->isVisibleTo(&w), w.Gate_timing[0]->isEnabled()};
}

} // namespace

class StartSequenceTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void windowShowsEachStateOfTheStart();
    void abortByButtonOrKeyKeepsTheGateUp_data();
    void abortByButtonOrKeyKeepsTheGateUp();
    void afterTheDropThereIsNothingToAbort();
    void timedStepRunsOnceAndNeverBeforeItsDueTime();
    void stepDueDuringABlockingWaitRunsOnceAndTheNextKeepsItsInterval();

private:
    std::unique_ptr<StartRig> rig_;
};

void StartSequenceTest::init() {
    rig_ = std::make_unique<StartRig>();
    QVERIFY(rig_->load());
    rig_->stopBackgroundTimers();
}

void StartSequenceTest::cleanup() {
    rig_.reset();
}

void StartSequenceTest::windowShowsEachStateOfTheStart() {
    StartRig& rig = *rig_;
    frmUSB_Main& w = rig.window();
    w.setAdministrator(true);
    QCOMPARE(shown(w), (Shown{caption::Put_Up_Gate, true, false, true}));
    QCOMPARE(litLamps(w), QList<int>{});

    w.Window_start_button_Click();
    QCOMPARE(shown(w), (Shown{caption::Start, false, false, true})); // the hold-off
    QCOMPARE(litLamps(w), QList<int>{4});
    w.Gate_up_timer_Timer();
    QCOMPARE(shown(w), (Shown{caption::Start, true, false, true}));

    w.Window_start_button_Click();
    QCOMPARE(shown(w), (Shown{caption::Delay, true, true, false}));
    QCOMPARE(rig.sound().files(), QStringList{QStringLiteral("ok_riders.wav")});
    w.Window_start_button_Click();
    QCOMPARE(shown(w), (Shown{caption::Click_To_Continue, true, true, false}));
    w.Window_start_button_Click();
    QCOMPARE(shown(w), (Shown{caption::Click_To_Continue, false, true, false}));

    w.Set_Ready_State();
    QCOMPARE(shown(w), (Shown{caption::Put_Up_Gate, true, false, true}));
    QCOMPARE(litLamps(w), QList<int>{});
}

void StartSequenceTest::abortByButtonOrKeyKeepsTheGateUp_data() {
    QTest::addColumn<bool>("byKey");
    QTest::addColumn<bool>("beepsBegun");
    QTest::newRow("button, in the cadence") << false << false;
    QTest::newRow("Esc, between beeps") << true << true;
}

// Every step of the start stops, the lights go off, the gate stays up with the riders
// behind it, and the next press starts again.
void StartSequenceTest::abortByButtonOrKeyKeepsTheGateUp() {
    QFETCH(bool, byKey);
    QFETCH(bool, beepsBegun);
    StartRig& rig = *rig_;
    frmUSB_Main& w = rig.window();
    setTestSpeed(w, {4000, 50, 50, 10000});
    w.Gate_timing[3]->setChecked(true); // the drop comes last, at beep 4
    w.HScroll1->setValue(300);
    w.Window_start_button_Click();
    w.Gate_up_timer_Timer();
    w.Window_start_button_Click();
    if (beepsBegun)
        QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("H 02")); }, 3000));

    if (byKey)
        QTest::keyClick(&w, Qt::Key_Escape);
    else
        QTest::mouseClick(w.abortButton, Qt::LeftButton);

    for (const QTimer* timer : {&w.Riders_ready, &w.Watch_the_gate, &w.Timer1, &w.Timer2, &w.Timer3,
                                &w.Timer4, &w.Restart_Delay})
        QVERIFY(!timer->isActive());
    QVERIFY(rig.sound().playing().isEmpty());
    QVERIFY(w.abortButton->isHidden());
    QCOMPARE(w.Window_start_button->text(), caption::Start);
    QVERIFY(w.Window_start_button->isEnabled());
    QCOMPARE(litLamps(w), QList<int>{4});
    QVERIFY(runUntil([&] { return rig.outputs().endsWith(QStringLiteral("L 03")); }, 2000));
    runEventsFor(100); // nothing still on its way
    QVERIFY(!rig.outputs().contains(QStringLiteral("L 00")));
    QCOMPARE(rig.outputs().mid(rig.outputs().size() - 3), QStringList({"L 01", "L 02", "L 03"}));

    w.Window_start_button_Click();
    QCOMPARE(w.Window_start_button->text(), caption::Delay);
    QVERIFY(runUntil([&] { return rig.outputs().endsWith(QStringLiteral("L 00")); }, 5000));
    QCOMPARE(rig.sound().files().last(), QStringLiteral("BMX_start_tone_long.wav"));
}

void StartSequenceTest::afterTheDropThereIsNothingToAbort() {
    StartRig& rig = *rig_;
    frmUSB_Main& w = rig.window();
    setTestSpeed(w, {4000, 50, 50, 10000});
    w.Gate_timing[0]->setChecked(true);
    w.Window_start_button_Click();
    w.Gate_up_timer_Timer();
    w.Window_start_button_Click();
    QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("L 00")); }, 3000));
    QVERIFY(w.abortButton->isHidden());
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(runUntil([&] { return rig.outputs().count(QStringLiteral("H 03")) == 2; }, 3000));
    QVERIFY(w.Restart_Delay.isActive()); // the start runs to its ready state
}

void StartSequenceTest::timedStepRunsOnceAndNeverBeforeItsDueTime() {
    constexpr qint64 intervalMs = 30;
    QTimer step;
    step.setTimerType(Qt::PreciseTimer);
    QList<qint64> ran;
    StepTiming timing;
    timing.add(StartStep::Beep1, step, [&] { ran << monotonicNs(); });
    for (int i = 1; i <= 10; ++i) {
        const qint64 armedNs = monotonicNs();
        timing.arm(StartStep::Beep1, int(intervalMs));
        QVERIFY(runUntil([&] { return !step.isActive(); }, 1000, 1));
        runEventsFor(StepTiming::Early_Ms + 5); // a second run would come by now
        QCOMPARE(ran.size(), i);
        QVERIFY2(ran.last() - armedNs >= intervalMs * 1000000,
                 qPrintable(QString::number(ran.last() - armedNs)));
    }
    timing.arm(StartStep::Beep1, int(intervalMs));
    timing.disarm(StartStep::Beep1);
    runEventsFor(int(intervalMs) + 10);
    QCOMPARE(ran.size(), 10);
}

// A step that falls due while the window's thread is held up runs once, as soon as it
// is free; the next is due one interval after that.
void StartSequenceTest::stepDueDuringABlockingWaitRunsOnceAndTheNextKeepsItsInterval() {
    StartRig& rig = *rig_;
    frmUSB_Main& w = rig.window();
    setTestSpeed(w, {4000, 50, 50, 10000});
    w.HScroll1->setValue(100);
    w.Window_start_button_Click();
    w.Gate_up_timer_Timer();
    w.Window_start_button_Click();
    QVERIFY(runUntil([&] { return w.Timer1.isActive(); }, 2000, 1)); // due in 100 ms
    QThread::msleep(350); // a handler holding the window's thread
    QVERIFY(runUntil([&] { return rig.outputs().contains(QStringLiteral("H 02")); }, 2000));
    QCOMPARE(rig.outputs().count(QStringLiteral("H 01")), 1);
    const qint64 gapMs = (rig.outputStampNs("H 02") - rig.outputStampNs("H 01")) / 1000000;
    QVERIFY2(gapMs >= 95 && gapMs < 300, qPrintable(QString::number(gapMs)));
}

QTEST_MAIN(StartSequenceTest)
#include "tst_start_sequence.moc"
