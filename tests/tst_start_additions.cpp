// Random start, the start pulse and the start log on the real window and module, with
// the window's timers at test speed.
#include "app/lamp.h"
#include "dialogs/more_settings_dialog.h"
#include "dialogs/start_log_dialog.h"
#include "sequence/start_log.h"
#include "settings/more_settings.h"
#include "tests/support/start_helpers.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

using namespace korvane;
using namespace korvane::test;

namespace {

constexpr int Pulse_Line = 5;
constexpr int Finish_Line = 6;

// Calls 100 ms apart, beeps 100 ms apart, the ready state 200 ms after the last beep.
void quicken(frmUSB_Main& w) {
    setTestSpeed(w, {4000, 100, 100, 200});
    w.HScroll1->setValue(100);
}

void startCadence(StartRig& rig) {
    rig->Window_start_button_Click();
    rig->Gate_up_timer_Timer();
    rig->Window_start_button_Click();
}

QList<startlog::StartRecord> loggedStarts(StartRig& rig) {
    return startlog::readRecentStarts(startlog::startLogPathFor(rig->programFolder()), 10).records;
}

bool readyAgain(StartRig& rig) {
    return runUntil([&] { return rig.outputs().contains(QStringLiteral("A 00")); }, 5000);
}

} // namespace

class StartAdditionsTest : public QObject {
    Q_OBJECT
private slots:
    void randomDelayStandsForTheIntervalBeforeTheFirstLight();
    void startPulseFollowsTheDropOnItsOwnLine();
    void pulseOnAnOutputsLineIsLeftOffAndSaid();
    void everyStartIsLoggedWhenItIsOver();
    void aLogThatCannotBeWrittenNeverStopsAStart();
    void moreSettingsAreTheAdministratorsAndTakeEffect();
};

void StartAdditionsTest::randomDelayStandsForTheIntervalBeforeTheFirstLight() {
    StartRig rig;
    QVERIFY(rig.load());
    quicken(rig.window());
    rig->moreSettings.randomStart = true;
    rig->Gate_timing[0]->setChecked(true);
    rig->pushSettings();
    startCadence(rig);
    const int delay = rig->startSequence.randomDelayMs();
    QVERIFY2(delay >= 100 && delay <= 2700, qPrintable(QString::number(delay)));
    QVERIFY(readyAgain(rig));
    // From the end of "Watch the gate" to the first light, then the beep interval.
    const qint64 watchEnd = rig.soundStampNs(QStringLiteral("Watch_the_gate.wav"));
    const qint64 red = rig.outputStampNs(QStringLiteral("H 01"));
    const qint64 orange = rig.outputStampNs(QStringLiteral("H 02"));
    QVERIFY2((red - watchEnd) / 1000000 >= delay - 1 && (red - watchEnd) / 1000000 <= delay + 60,
             qPrintable(QStringLiteral("%1 for %2").arg((red - watchEnd) / 1000000).arg(delay)));
    QVERIFY2((orange - red) / 1000000 >= 99 && (orange - red) / 1000000 <= 160,
             qPrintable(QString::number((orange - red) / 1000000)));
    const QList<startlog::StartRecord> logged = loggedStarts(rig);
    QCOMPARE(logged.size(), 1);
    QCOMPARE(logged[0].randomDelayMs, std::optional<int>(delay));
    QCOMPARE(logged[0].beepIntervalMs, 100);

    // The next start draws its own delay; with random start off, none is drawn.
    rig->moreSettings.randomStart = false;
    rig->pushSettings();
    startCadence(rig);
    QCOMPARE(rig->startSequence.randomDelayMs(), 0);
    rig->abortClick();
}

void StartAdditionsTest::startPulseFollowsTheDropOnItsOwnLine() {
    StartRig rig;
    QVERIFY(rig.load());
    quicken(rig.window());
    rig->moreSettings.startPulseLine = Pulse_Line;
    rig->moreSettings.startPulseMs = 50;
    rig->Gate_timing[1]->setChecked(true);
    rig->pushSettings();
    startCadence(rig);
    QVERIFY(readyAgain(rig));
    const QStringList outputs = rig.outputs();
    // The drop's own command first, the pulse right behind it, off after its length.
    const qsizetype drop = outputs.indexOf(QStringLiteral("L 00"));
    QVERIFY(drop > 0);
    QCOMPARE(outputs.at(drop + 1), QStringLiteral("H 05"));
    const qint64 on = rig.outputStampNs(QStringLiteral("H 05"));
    const qint64 off = rig.outputStampNs(QStringLiteral("L 05"));
    // Stamped where the module reads them: a byte delivered late shortens it a little.
    QVERIFY2((off - on) / 1000000 >= 45 && (off - on) / 1000000 <= 120,
             qPrintable(QString::number((off - on) / 1000000)));
}

void StartAdditionsTest::pulseOnAnOutputsLineIsLeftOffAndSaid() {
    StartRig rig;
    config::MoreSettings settings;
    settings.startPulseLine = 3; // the rig's green light
    QVERIFY(config::saveMoreSettings(config::moreSettingsPathFor(rig->programFolder()), settings));
    QVERIFY(
        config::saveConfigAtomically(config::configPathFor(rig->programFolder()), trackConfig()));
    MessageRecorder messages;
    rig->Form_Load();
    QVERIFY(!rig->moreSettings.startPulseOn());
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY2(messages.messages[0].text.contains(QStringLiteral("more-settings.ini")),
             qPrintable(messages.messages[0].text));
}

// A start run to its end, with a hold and a race; then an aborted one.
void StartAdditionsTest::everyStartIsLoggedWhenItIsOver() {
    StartRig rig;
    QVERIFY(rig.load());
    quicken(rig.window());
    rig->Finish_Beam = qint16(1 << Finish_Line);
    rig->Gate_timing[0]->setChecked(true);
    rig->pushSettings();
    startCadence(rig);
    rig->Window_start_button_Click(); // hold
    runEventsFor(150);
    rig->Window_start_button_Click(); // release
    QVERIFY(readyAgain(rig));
    // The ready state has come and the race still runs: the start is on disk already, its
    // race time follows when it is known.
    QVERIFY(rig->startSequence.raceWatched());
    QList<startlog::StartRecord> logged = loggedStarts(rig);
    QCOMPARE(logged.size(), 1);
    QVERIFY(logged[0].raceTime.isEmpty());
    rig.module().setLine(8 + Finish_Line, true);
    QVERIFY(runUntil([&] { return !rig->startSequence.raceWatched(); }, 2000));
    logged = loggedStarts(rig);
    QCOMPARE(logged.size(), 1);
    QCOMPARE(logged[0].gateTiming, std::optional<int>(1));
    QCOMPARE(logged[0].holds, 1);
    QVERIFY2(logged[0].holdTotalMs >= 140, qPrintable(QString::number(logged[0].holdTotalMs)));
    QVERIFY(!logged[0].aborted);
    QVERIFY(logged[0].dropAfterStartMs.has_value());
    QVERIFY(*logged[0].dropAfterStartMs >= 100 + 100 + 100);
    QCOMPARE(logged[0].raceTime, rig->Time_seconds->text());
    QVERIFY(!logged[0].raceTime.isEmpty());

    rig.module().setLine(8 + Finish_Line, false);
    startCadence(rig);
    rig->abortClick();
    logged = loggedStarts(rig);
    QCOMPARE(logged.size(), 2);
    QVERIFY(logged[0].aborted); // newest first
    QVERIFY(!logged[0].dropAfterStartMs.has_value());
    QVERIFY(logged[0].raceTime.isEmpty());
    QVERIFY(rig->logStatus->isHidden());
}

void StartAdditionsTest::aLogThatCannotBeWrittenNeverStopsAStart() {
    StartRig rig;
    QVERIFY(rig.load());
    quicken(rig.window());
    QVERIFY(QDir(rig->programFolder()).mkdir(QStringLiteral("starts.csv")));
    rig->Gate_timing[0]->setChecked(true);
    rig->pushSettings();
    startCadence(rig);
    QVERIFY(readyAgain(rig));
    QVERIFY(!rig->logStatus->isHidden());
    QVERIFY(rig.messages().messages.isEmpty());
    // The next start runs as ever.
    startCadence(rig);
    QCOMPARE(rig->Window_start_button->text(), QStringLiteral("Delay"));
    rig->abortClick();
}

void StartAdditionsTest::moreSettingsAreTheAdministratorsAndTakeEffect() {
    StartRig rig;
    QVERIFY(rig.load());
    QVERIFY(!rig->moreSettingsItem->isEnabled());
    rig->setAdministrator(true); // as the log-in dialog's OK does
    QVERIFY(rig->moreSettingsItem->isEnabled());
    rig->moreSettingsClick();
    MoreSettingsDialog* dialog = rig->moreSettingsWindow;
    QVERIFY(dialog);
    dialog->randomStart->setChecked(true);
    dialog->pulseLine->setCurrentIndex(Pulse_Line + 1);
    dialog->okClick();
    QVERIFY(rig->moreSettings.randomStart);
    QCOMPARE(rig->moreSettings.startPulseLine, qint16(Pulse_Line));
    // Logging out closes it.
    rig->moreSettingsClick();
    QVERIFY(rig->moreSettingsWindow->isVisible());
    rig->Log_In_Click();
    QVERIFY(!rig->moreSettingsItem->isEnabled());
    QVERIFY(!rig->moreSettingsWindow || !rig->moreSettingsWindow->isVisible());
    rig->startLogClick();
    QVERIFY(rig->startLogWindow);
}

QTEST_MAIN(StartAdditionsTest)
#include "tst_start_additions.moc"
