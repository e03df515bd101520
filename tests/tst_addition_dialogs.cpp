// The "More settings" and "Start log" windows on their own, on files in a private folder.
#include "dialogs/more_settings_dialog.h"
#include "dialogs/start_log_dialog.h"
#include "sequence/start_log.h"
#include "tests/support/files.h"
#include "tests/support/test_rig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimeZone>

using namespace korvane;

namespace {

// The gate on port A line 3, the lights on 4, 5 and 6.
const config::OutputLines Track_Outputs{3, 4, 5, 6};

startlog::StartRecord startNumber(int n) {
    startlog::StartRecord record;
    record.when = QDateTime(QDate(2024, 5, 18), QTime(9, 0), QTimeZone(3600)).addSecs(n * 60);
    record.beepIntervalMs = 150;
    record.holds = n;
    return record;
}

QString logWithStarts(const QTemporaryDir& dir, int count) {
    const QString path = startlog::startLogPathFor(dir.path());
    for (int n = 0; n < count; ++n)
        startlog::appendStart(path, startNumber(n));
    return path;
}

} // namespace

class AdditionDialogsTest : public QObject {
    Q_OBJECT
private slots:
    void refusedOkStaysOpenAndWritesNothing_data();
    void refusedOkStaysOpenAndWritesNothing();
    void okSavesWhatTheLoaderReadsAndCancelLeavesTheFile();
    void logShowsTheNewestStartsFirstAndRereadsWhenShown();
    void logSurvivesAMissingOrJunkFile_data();
    void logSurvivesAMissingOrJunkFile();
    void everyCaptionFitsItsControl();
    void screenshot();
};

void AdditionDialogsTest::refusedOkStaysOpenAndWritesNothing_data() {
    QTest::addColumn<int>("lineItem");
    QTest::addColumn<bool>("folderInTheWay");
    QTest::addColumn<QString>("said");
    QTest::newRow("the gate's line") << 4 << false << "Port A line 3 drives the gate.";
    QTest::newRow("a light's line") << 7 << false << "Port A line 6 drives the green light.";
    QTest::newRow("file cannot be written") << 1 << true << "could not be saved";
}

void AdditionDialogsTest::refusedOkStaysOpenAndWritesNothing() {
    QFETCH(int, lineItem);
    QFETCH(bool, folderInTheWay);
    QFETCH(QString, said);
    QTemporaryDir dir;
    const QString path = config::moreSettingsPathFor(dir.path());
    test::placeFile(path, folderInTheWay ? "<folder>" : "[start_pulse]\nline=7\n");
    const QByteArray before = test::fileContents(path);

    MoreSettingsDialog dialog(path, Track_Outputs);
    QSignalSpy saved(&dialog, &MoreSettingsDialog::settingsSaved);
    dialog.show();
    dialog.pulseLine->setCurrentIndex(lineItem);
    test::MessageRecorder messages;
    dialog.cmdOK->click();
    QCOMPARE(messages.messages.size(), 1);
    QVERIFY2(messages.messages[0].text.contains(said), qPrintable(messages.messages[0].text));
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.pulseLine->currentIndex(), lineItem);
    QCOMPARE(saved.count(), 0);
    QCOMPARE(test::fileContents(path), before);
}

void AdditionDialogsTest::okSavesWhatTheLoaderReadsAndCancelLeavesTheFile() {
    QTemporaryDir dir;
    const QString path = config::moreSettingsPathFor(dir.path());
    MoreSettingsDialog dialog(path, Track_Outputs);
    QSignalSpy saved(&dialog, &MoreSettingsDialog::settingsSaved);
    dialog.show();
    QCOMPARE(dialog.chosenSettings(), config::MoreSettings{}); // no file: all off
    dialog.randomStart->setChecked(true);
    dialog.pulseLine->setCurrentIndex(8);
    dialog.pulseLength->setValue(250);
    dialog.cmdOK->click();

    const config::MoreSettings chosen{true, 7, 250};
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(saved.count(), 1);
    QCOMPARE(saved[0][0].value<config::MoreSettings>(), chosen);
    QCOMPARE(config::loadMoreSettings(path).kind, config::MoreSettingsLoad::Kind::Whole);
    QCOMPARE(config::loadMoreSettings(path).settings, chosen);

    // Cancel leaves the file, and the next showing reads it again.
    dialog.show();
    dialog.pulseLine->setCurrentIndex(0);
    dialog.cmdCancel->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(config::loadMoreSettings(path).settings, chosen);
    dialog.show();
    QCOMPARE(dialog.chosenSettings(), chosen);
}

void AdditionDialogsTest::logShowsTheNewestStartsFirstAndRereadsWhenShown() {
    QTemporaryDir dir;
    const QString path = logWithStarts(dir, 60);
    StartLogDialog log(path);
    log.show();
    QCOMPARE(log.Starts->rowCount(), StartLogDialog::Starts_Shown);
    QCOMPARE(log.Starts->horizontalHeaderItem(8)->text(), QStringLiteral("Race time (s)"));
    QCOMPARE(log.Starts->item(0, 0)->text(), QStringLiteral("2024-05-18 09:59:00"));
    QCOMPARE(log.Starts->item(0, 4)->text(), QStringLiteral("59"));
    QCOMPARE(log.Starts->item(49, 4)->text(), QStringLiteral("10"));
    QVERIFY(!(log.Starts->item(0, 4)->flags() & Qt::ItemIsEditable));
    QCOMPARE(log.Note->text(), QStringLiteral("The last 50 starts in starts.csv, newest first."));
    // The folder, for the operator who wants the file itself.
    QCOMPARE(log.Folder->text(), "Your files: " + QDir::toNativeSeparators(dir.path()));
    QVERIFY(log.Folder->textInteractionFlags() & Qt::TextSelectableByMouse);

    log.cmdClose->click();
    QVERIFY(startlog::appendStart(path, startNumber(60)));
    log.show();
    QCOMPARE(log.Starts->item(0, 4)->text(), QStringLiteral("60"));
}

void AdditionDialogsTest::logSurvivesAMissingOrJunkFile_data() {
    QTest::addColumn<QByteArray>("file"); // "<missing>", "<folder>" or the file's bytes
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("note");
    QTest::newRow("missing") << QByteArray("<missing>") << 0
                             << "No start has been logged yet: there is no starts.csv.";
    QTest::newRow("folder") << QByteArray("<folder>") << 0 << "starts.csv cannot be read.";
    QTest::newRow("junk") << QByteArray("\x00\xff,,,,,,,,\n<html>\n2024-05-18T09:00:00+01:00,1", 46)
                          << 0
                          << "The last 0 starts in starts.csv, newest first. 3 lines that are "
                             "not starts are left out.";
    QTest::newRow("junk between starts")
        << startlog::recordLine(startNumber(1)) + "yes,no\n" + startlog::recordLine(startNumber(2))
        << 2
        << "The last 2 starts in starts.csv, newest first. 1 line that is not a start is left "
           "out.";
}

void AdditionDialogsTest::logSurvivesAMissingOrJunkFile() {
    QFETCH(QByteArray, file);
    QFETCH(int, rows);
    QFETCH(QString, note);
    QTemporaryDir dir;
    const QString path = startlog::startLogPathFor(dir.path());
    test::placeFile(path, file);
    StartLogDialog log(path);
    log.show();
    QCOMPARE(log.Starts->rowCount(), rows);
    QCOMPARE(log.Note->text(), note);
    QCOMPARE(log.Note->textFormat(), Qt::PlainText);
}

void AdditionDialogsTest::everyCaptionFitsItsControl() {
    QTemporaryDir dir;
    MoreSettingsDialog settings(config::moreSettingsPathFor(dir.path()), Track_Outputs);
    settings.show();
    QByteArray junk;
    for (int n = 0; n < 120; ++n)
        junk += startlog::recordLine(startNumber(n)) + "junk\n";
    const QString path = startlog::startLogPathFor(dir.path());
    test::writeFile(path, junk);
    StartLogDialog log(path);
    log.show();
    const QStringList clipped = test::clippedCaptions(&settings) + test::clippedCaptions(&log);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("\n"))));
}

// With KORVANE_SCREENSHOT_DIR set (under Xvfb), saves more-settings.png there.
void AdditionDialogsTest::screenshot() {
    const QString folder = qEnvironmentVariable("KORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        QSKIP("KORVANE_SCREENSHOT_DIR not set");
    QTemporaryDir dir;
    MoreSettingsDialog dialog(config::moreSettingsPathFor(dir.path()),
                              config::OutputLines{0, 1, 2, 3});
    dialog.show();
    dialog.randomStart->setChecked(true);
    dialog.pulseLine->setCurrentIndex(5 + 1);
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::qWait(200);
    QVERIFY(dialog.grab().save(QDir(folder).filePath("more-settings.png")));
}

QTEST_MAIN(AdditionDialogsTest)
#include "tst_addition_dialogs.moc"
