// The trigger table alone: caption, trigger, line level and enabled flag -> action.
#include "sequence/trigger_table.h"

#include <QTest>

using namespace korvane;

Q_DECLARE_METATYPE(korvane::TriggerAction)

namespace {

using A = TriggerAction;

// What each caption does, in the order: click (button enabled, disabled), then poll
// with the line high (enabled, disabled) and low (enabled, disabled).
struct Row {
    const char* caption;
    A click[2];
    A pollHigh[2];
    A pollLow[2];
};

const Row Rows[] = {
    {"Click to put up gate",
     {A::RaiseGate, A::RaiseGate},
     {A::RaiseGate, A::None},
     {A::None, A::None}},
    {"Start", {A::StartCadence, A::StartCadence}, {A::StartCadence, A::None}, {A::None, A::None}},
    {"Delay", {A::HoldOnScreen, A::HoldOnScreen}, {A::HoldExternally, A::None}, {A::None, A::None}},
    {"Click to continue",
     {A::ReleaseOnScreen, A::ReleaseOnScreen},
     {A::None, A::None},
     {A::None, A::None}},
    {"Delayed by External Button",
     {A::None, A::None},
     {A::None, A::None},
     {A::ReleaseExternal, A::ReleaseExternal}},
    // Captions are compared exactly, letter case and spaces included.
    {"start", {A::None, A::None}, {A::None, A::None}, {A::None, A::None}},
    {"Delay ", {A::None, A::None}, {A::None, A::None}, {A::None, A::None}},
    {"click to continue", {A::None, A::None}, {A::None, A::None}, {A::None, A::None}},
    {"Delayed by external button", {A::None, A::None}, {A::None, A::None}, {A::None, A::None}},
    {"", {A::None, A::None}, {A::None, A::None}, {A::None, A::None}},
};

} // namespace

class TriggerTableTest : public QObject {
    Q_OBJECT
private slots:
    void everyCaptionTriggerLevelAndEnabledState_data();
    void everyCaptionTriggerLevelAndEnabledState();
};

void TriggerTableTest::everyCaptionTriggerLevelAndEnabledState_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("external");
    QTest::addColumn<bool>("lineHigh");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<TriggerAction>("expected");
    for (const Row& row : Rows) {
        for (int e = 0; e < 2; ++e) {
            const bool enabled = e == 0;
            const char* state = enabled ? "enabled" : "disabled";
            // A click ignores the line level: both levels must give the same action.
            for (bool level : {false, true})
                QTest::addRow("'%s' click, %s, line %d", row.caption, state, level)
                    << row.caption << false << level << enabled << row.click[e];
            QTest::addRow("'%s' poll, %s, line 1", row.caption, state)
                << row.caption << true << true << enabled << row.pollHigh[e];
            QTest::addRow("'%s' poll, %s, line 0", row.caption, state)
                << row.caption << true << false << enabled << row.pollLow[e];
        }
    }
}

void TriggerTableTest::everyCaptionTriggerLevelAndEnabledState() {
    QFETCH(QString, caption);
    QFETCH(bool, external);
    QFETCH(bool, lineHigh);
    QFETCH(bool, enabled);
    QFETCH(TriggerAction, expected);
    const Trigger trigger = external ? Trigger::ExternalPoll : Trigger::ScreenClick;
    QCOMPARE(int(triggerAction(caption, trigger, lineHigh, enabled)), int(expected));
}

QTEST_APPLESS_MAIN(TriggerTableTest)
#include "tst_trigger_table.moc"
