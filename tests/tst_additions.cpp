// The additions' units on their own: more-settings.ini, the random start's delay and
// the start log.
#include "sequence/random_delay.h"
#include "sequence/start_log.h"
#include "settings/more_settings.h"

#include "tests/support/files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <climits>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvane;
using config::MoreSettings;
using config::MoreSettingsLoad;
using startlog::StartRecord;
using test::fileContents;

Q_DECLARE_METATYPE(config::MoreSettings)
Q_DECLARE_METATYPE(startlog::StartRecord)

namespace {

// The ways a file can be beyond writing; `path` is the file, in `dir`.
enum class Unwritable { FolderOfThatName, ReadOnlyFolder, ReadOnlyFile, FullDisk };

bool makeUnwritable(Unwritable how, QTemporaryDir& dir, const QString& path) {
    if (how == Unwritable::FolderOfThatName)
        return QDir(dir.path()).mkdir(QFileInfo(path).fileName());
    if (how == Unwritable::ReadOnlyFolder)
        return QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
    if (how == Unwritable::ReadOnlyFile)
        return QFile::setPermissions(path, QFile::ReadOwner);
    return true;
}

StartRecord trackStart(int n = 0) {
    StartRecord record;
    record.when = QDateTime(QDate(2024, 5, 18), QTime(14, 3, 22), QTimeZone(7200)).addSecs(n * 60);
    record.beepIntervalMs = 150;
    record.gateTiming = 2;
    record.randomDelayMs = 1234;
    record.holds = 1;
    record.holdTotalMs = 5200 + n;
    record.dropAfterStartMs = 9876;
    record.raceTime = QStringLiteral("32.47");
    record.sound = QStringLiteral("played");
    return record;
}

} // namespace

Q_DECLARE_METATYPE(Unwritable)

class AdditionsTest : public QObject {
    Q_OBJECT
private slots:
    void savedSettingsLoadBack_data();
    void savedSettingsLoadBack();
    void faultyFileTurnsWhatItConcernsOff_data();
    void faultyFileTurnsWhatItConcernsOff();
    void quickSameSizeRewriteIsReadAfresh();
    void failedWriteLeavesTheFileAsItWas_data();
    void failedWriteLeavesTheFileAsItWas();
    void pulseLineMustBeItsOwn_data();
    void pulseLineMustBeItsOwn();

    void delaysCoverTheWholeRangeEvenly();
    void delaysComeFromTheSourceGiven();

    void recordRoundTrips_data();
    void recordRoundTrips();
    void logWrittenBeforeTheSoundColumnStillReads();
    void cutOffLineIsNotGluedToTheNextRecord();
    void killedWriterLeavesEveryEarlierLineWhole();
    void recentStartsComeNewestFirstFromALongLog();
};

void AdditionsTest::savedSettingsLoadBack_data() {
    QTest::addColumn<MoreSettings>("settings");
    QTest::addColumn<QByteArray>("pulseLineText");
    QTest::newRow("defaults") << MoreSettings{} << QByteArray("line=off");
    QTest::newRow("line 0, shortest") << MoreSettings{false, 0, 10} << QByteArray("line=0");
    QTest::newRow("line 7, longest") << MoreSettings{true, 7, 2000} << QByteArray("line=7");
}

void AdditionsTest::savedSettingsLoadBack() {
    QFETCH(MoreSettings, settings);
    QFETCH(QByteArray, pulseLineText);
    QTemporaryDir dir;
    const QString path = config::moreSettingsPathFor(dir.path());
    test::writeFile(path, "[start_pulse]\nline=2\nother=kept?\n");
    QVERIFY(config::saveMoreSettings(path, settings));
    const MoreSettingsLoad load = config::loadMoreSettings(path);
    QCOMPARE(load.kind, MoreSettingsLoad::Kind::Whole);
    QCOMPARE(load.settings, settings);
    // The administrator may read the file: every key is written, and only ours.
    const QByteArray text = fileContents(path);
    QVERIFY2(text.contains("[random_start]") && text.contains(pulseLineText) &&
                 text.contains("length_ms=") && !text.contains("other"),
             text.constData());
}

void AdditionsTest::faultyFileTurnsWhatItConcernsOff_data() {
    QTest::addColumn<QByteArray>("file"); // "<missing>", "<folder>" or the file's bytes
    QTest::addColumn<MoreSettings>("expected");
    QTest::addColumn<int>("problems");

    const QByteArray good = "[random_start]\nenabled=true\n";
    const auto pulse = [&](const QByteArray& line, const QByteArray& length) {
        return good + "[start_pulse]\nline=" + line + "\nlength_ms=" + length + "\n";
    };
    QTest::newRow("missing") << QByteArray("<missing>") << MoreSettings{} << 0;
    QTest::newRow("empty") << QByteArray() << MoreSettings{} << 0;
    QTest::newRow("whole") << pulse("4", "300") << MoreSettings{true, 4, 300} << 0;
    QTest::newRow("length absent") << good + "[start_pulse]\nline=4\n"
                                   << MoreSettings{true, 4, 100} << 0;
    QTest::newRow("random maybe") << QByteArray(
                                         "[random_start]\nenabled=maybe\n[start_pulse]\nline=4\n")
                                  << MoreSettings{false, 4, 100} << 1;
    QTest::newRow("line 8") << pulse("8", "300") << MoreSettings{true, -1, 300} << 1;
    QTest::newRow("two lines") << pulse("3,4", "300") << MoreSettings{true, -1, 300} << 1;
    QTest::newRow("length 9 ms") << pulse("4", "9") << MoreSettings{true, -1, 100} << 1;
    QTest::newRow("length in seconds") << pulse("4", "0.3") << MoreSettings{true, -1, 100} << 1;
    QTest::newRow("serialised variant") << pulse("@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1)", "300")
                                        << MoreSettings{true, -1, 300} << 1;
    QTest::newRow("unclosed section")
        << QByteArray("[random_start\nenabled=true\n") << MoreSettings{} << 1;
    QTest::newRow("folder of that name") << QByteArray("<folder>") << MoreSettings{} << 1;
    QTest::newRow("too large") << pulse("4", "300") + QByteArray(70 * 1024, ';') << MoreSettings{}
                               << 1;
    // Bytes that name no setting leave every setting at its default: off.
    QTest::newRow("binary junk") << QByteArray("\x00\x01\xff[[[=\n=\n", 10) << MoreSettings{} << 0;
}

void AdditionsTest::faultyFileTurnsWhatItConcernsOff() {
    QFETCH(QByteArray, file);
    QFETCH(MoreSettings, expected);
    QFETCH(int, problems);
    QTemporaryDir dir;
    const QString path = config::moreSettingsPathFor(dir.path());
    test::placeFile(path, file);

    const MoreSettingsLoad load = config::loadMoreSettings(path);
    QCOMPARE(load.settings, expected);
    QCOMPARE(load.problems.size(), problems);
    const auto kind = file == "<missing>" ? MoreSettingsLoad::Kind::Missing
                      : problems > 0      ? MoreSettingsLoad::Kind::Damaged
                                          : MoreSettingsLoad::Kind::Whole;
    QCOMPARE(load.kind, kind);
    // Each sentence says what is off because of it.
    for (const QString& problem : load.problems)
        QVERIFY2(problem.endsWith(QStringLiteral(" off.")), qPrintable(problem));
}

// QSettings trusts what it has read of a path while the file's size and time stay the
// same; a rewrite within one clock tick must still be read as it is now.
void AdditionsTest::quickSameSizeRewriteIsReadAfresh() {
    QTemporaryDir dir;
    const QString path = config::moreSettingsPathFor(dir.path());
    for (int i = 0; i < 200; ++i) {
        const qint16 line = i % 2 ? 3 : 5;
        test::writeFile(path, "[start_pulse]\nline=" + QByteArray::number(line) + "\n");
        QCOMPARE(config::loadMoreSettings(path).settings.startPulseLine, line);
    }
}

void AdditionsTest::pulseLineMustBeItsOwn_data() {
    QTest::addColumn<MoreSettings>("settings");
    QTest::addColumn<QString>("problem"); // a part of the reason; empty: none
    const QString ownLine = QStringLiteral(" The start pulse needs a line of its own");
    QTest::newRow("off, outputs sharing") << MoreSettings{true, -1, 100} << QString();
    QTest::newRow("a free line") << MoreSettings{false, 7, 100} << QString();
    QTest::newRow("the gate's line")
        << MoreSettings{false, 3, 100} << "Port A line 3 drives the gate." + ownLine;
    QTest::newRow("a shared light line")
        << MoreSettings{false, 0, 100}
        << "Port A line 0 drives the red light and the orange light." + ownLine;
    QTest::newRow("line 8") << MoreSettings{false, 8, 100} << "port A line from 0 to 7";
    QTest::newRow("5 ms") << MoreSettings{false, 7, 5} << "from 10 to 2000 ms";
}

void AdditionsTest::pulseLineMustBeItsOwn() {
    QFETCH(MoreSettings, settings);
    QFETCH(QString, problem);
    const QString said = config::moreSettingsProblem(settings, {3, 0, 0, 6});
    QVERIFY2(problem.isEmpty() ? said.isEmpty() : said.contains(problem), qPrintable(said));
}

void AdditionsTest::delaysCoverTheWholeRangeEvenly() {
    constexpr int draws = 100000;
    constexpr int spans = 26; // of 100 ms each, the last one ending at 2700
    std::array<int, spans> inSpan{};
    int lowest = INT_MAX;
    int highest = INT_MIN;
    qint64 sum = 0;
    for (int i = 0; i < draws; ++i) {
        const int ms = drawRandomDelayMs();
        lowest = std::min(lowest, ms);
        highest = std::max(highest, ms);
        sum += ms;
        ++inSpan[std::min(spans - 1, (ms - 100) / 100)];
    }
    // Each end has one chance in 2601 a draw: missing one in 100000 draws takes e^-38.
    QCOMPARE(lowest, 100);
    QCOMPARE(highest, 2700);
    QVERIFY(qAbs(double(sum) / draws - 1400.0) < 15.0);
    for (int count : inSpan)
        QVERIFY2(qAbs(count - draws / spans) < draws / spans / 8,
                 qPrintable(QString::number(count)));
}

void AdditionsTest::delaysComeFromTheSourceGiven() {
    const auto sequence = [](QRandomGenerator& source) {
        QList<int> drawn;
        for (int i = 0; i < 20; ++i)
            drawn << drawRandomDelayMs(source);
        return drawn;
    };
    QCOMPARE_NE(sequence(*QRandomGenerator::system()), sequence(*QRandomGenerator::system()));
    QRandomGenerator first(42);
    QRandomGenerator second(42);
    QCOMPARE(sequence(first), sequence(second));
}

void AdditionsTest::recordRoundTrips_data() {
    QTest::addColumn<StartRecord>("record");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("raceTimeRead");

    StartRecord bare;
    bare.when = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), QTimeZone(-5 * 3600));
    bare.beepIntervalMs = 500;
    StartRecord aborted = trackStart();
    aborted.when = aborted.when.toUTC();
    aborted.aborted = true;
    aborted.dropAfterStartMs.reset();
    aborted.raceTime.clear();
    StartRecord noFinish = trackStart();
    noFinish.raceTime = QStringLiteral("--.--");
    StartRecord badRaceText = trackStart();
    badRaceText.raceTime = QStringLiteral("32,47\n");
    StartRecord standIns = trackStart();
    standIns.sound = startlog::soundSummary(false, {QStringLiteral("ok_riders.wav"),
                                                    QStringLiteral("BMX_start_tone.wav"),
                                                    QStringLiteral("ok_riders.wav")});
    StartRecord unheard = trackStart();
    unheard.sound = startlog::soundSummary(true, {QStringLiteral("ok_riders.wav")});

    QTest::newRow("a whole start") << trackStart()
                                   << QByteArray("2024-05-18T14:03:22+02:00,150,2,1234,1,5200,"
                                                 "no,9876,32.47,played\n")
                                   << "32.47";
    QTest::newRow("nothing optional")
        << bare << QByteArray("2024-01-02T03:04:05-05:00,500,,,0,0,no,,,\n") << "";
    QTest::newRow("aborted before the drop")
        << aborted << QByteArray("2024-05-18T12:03:22+00:00,150,2,1234,1,5200,yes,,,played\n")
        << "";
    QTest::newRow("no finish") << noFinish
                               << QByteArray("2024-05-18T14:03:22+02:00,150,2,1234,1,5200,no,"
                                             "9876,--.--,played\n")
                               << "--.--";
    QTest::newRow("race time not as the panel shows it")
        << badRaceText
        << QByteArray("2024-05-18T14:03:22+02:00,150,2,1234,1,5200,no,9876,,played\n") << "";
    QTest::newRow("stand-in tones, each file named once")
        << standIns
        << QByteArray("2024-05-18T14:03:22+02:00,150,2,1234,1,5200,no,9876,32.47,stand-in tone "
                      "for ok_riders.wav BMX_start_tone.wav\n")
        << "32.47";
    QTest::newRow("no output outweighs a stand-in")
        << unheard
        << QByteArray("2024-05-18T14:03:22+02:00,150,2,1234,1,5200,no,9876,32.47,no output\n")
        << "32.47";
}

void AdditionsTest::recordRoundTrips() {
    QFETCH(StartRecord, record);
    QFETCH(QByteArray, line);
    QFETCH(QString, raceTimeRead);
    QTemporaryDir dir;
    const QString path = startlog::startLogPathFor(dir.path());
    QVERIFY(startlog::appendStart(path, record));
    const QByteArray header = "Date and time,Beep interval (ms),Gate timing (beep),Random delay "
                              "(ms),Holds,Hold time (ms),Aborted,Drop after start (ms),Race time "
                              "(s),Sound\n";
    QCOMPARE(fileContents(path), header + line);

    const startlog::RecentStarts recent = startlog::readRecentStarts(path, 50);
    QCOMPARE(recent.kind, startlog::RecentStarts::Kind::Read);
    QCOMPARE(recent.junkLines, 0);
    QCOMPARE(recent.records.size(), 1);
    record.raceTime = raceTimeRead;
    QCOMPARE(recent.records[0], record);
}

void AdditionsTest::logWrittenBeforeTheSoundColumnStillReads() {
    QTemporaryDir dir;
    const QString path = startlog::startLogPathFor(dir.path());
    test::writeFile(path,
                    "Date and time,Beep interval (ms),Gate timing (beep),Random delay (ms),Holds,"
                    "Hold time (ms),Aborted,Drop after start (ms),Race time (s)\n"
                    "2024-05-18T14:03:22+02:00,150,2,1234,1,5200,no,9876,32.47\n");
    QVERIFY(startlog::appendStart(path, trackStart(1)));

    const startlog::RecentStarts recent = startlog::readRecentStarts(path, 50);
    QCOMPARE(recent.junkLines, 0);
    QCOMPARE(recent.records.size(), 2);
    StartRecord old = trackStart();
    old.sound.clear();
    QCOMPARE(recent.records[1], old);
    QCOMPARE(recent.records[0], trackStart(1));
}

void AdditionsTest::cutOffLineIsNotGluedToTheNextRecord() {
    QTemporaryDir dir;
    const QString path = startlog::startLogPathFor(dir.path());
    QVERIFY(startlog::appendStart(path, trackStart(0)));
    QVERIFY(startlog::appendStart(path, trackStart(1)));
    const QByteArray whole = fileContents(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(startlog::recordLine(trackStart(2)).left(30));
    file.close();

    QVERIFY(startlog::appendStart(path, trackStart(3)));
    const QByteArray now = fileContents(path);
    QVERIFY(now.startsWith(whole));
    QVERIFY(now.endsWith('\n' + startlog::recordLine(trackStart(3))));
    const startlog::RecentStarts recent = startlog::readRecentStarts(path, 50);
    QCOMPARE(recent.records, (QList<StartRecord>{trackStart(3), trackStart(1), trackStart(0)}));
    QCOMPARE(recent.junkLines, 1);
}

void AdditionsTest::failedWriteLeavesTheFileAsItWas_data() {
    QTest::addColumn<bool>("settingsFile"); // else the start log
    QTest::addColumn<Unwritable>("how");
    QTest::newRow("settings, folder of that name") << true << Unwritable::FolderOfThatName;
    QTest::newRow("settings, read-only folder") << true << Unwritable::ReadOnlyFolder;
    QTest::newRow("settings, full disk") << true << Unwritable::FullDisk;
    QTest::newRow("log, folder of that name") << false << Unwritable::FolderOfThatName;
    QTest::newRow("log, read-only file") << false << Unwritable::ReadOnlyFile;
    QTest::newRow("log, full disk") << false << Unwritable::FullDisk;
}

void AdditionsTest::failedWriteLeavesTheFileAsItWas() {
    QFETCH(bool, settingsFile);
    QFETCH(Unwritable, how);
    if ((how == Unwritable::ReadOnlyFolder || how == Unwritable::ReadOnlyFile) && geteuid() == 0)
        QSKIP("root writes past read-only permissions");
    QTemporaryDir dir;
    const QString path = settingsFile ? config::moreSettingsPathFor(dir.path())
                                      : startlog::startLogPathFor(dir.path());
    const auto write = [&](int n) {
        return settingsFile ? config::saveMoreSettings(path, {n == 0, qint16(n), 100 + n})
                            : startlog::appendStart(path, trackStart(n));
    };
    if (how != Unwritable::FolderOfThatName)
        QVERIFY(write(0));
    const QByteArray before = fileContents(path);
    QVERIFY(makeUnwritable(how, dir, path));
    // The full disk has room for 20 bytes more: part of what is written goes in.
    const qint64 room = how == Unwritable::FullDisk ? before.size() + 20 : RLIM_INFINITY;
    QVERIFY(!test::onFullDisk(room, [&] { return write(1); }));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(fileContents(path), before);
    QCOMPARE(QFileInfo(path).isDir(), how == Unwritable::FolderOfThatName);
}

// A process killed while it appends leaves every line it had written whole; at most the
// last can be cut off.
void AdditionsTest::killedWriterLeavesEveryEarlierLineWhole() {
    QTemporaryDir dir;
    const QString path = startlog::startLogPathFor(dir.path());
    const StartRecord record = trackStart();
    const pid_t writer = fork();
    QVERIFY(writer >= 0);
    if (writer == 0) {
        for (;;)
            startlog::appendStart(path, record);
    }
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(path).size() > 20000; }, 10000));
    kill(writer, SIGKILL);
    int status = 0;
    waitpid(writer, &status, 0);
    QVERIFY(WIFSIGNALED(status));

    const QList<QByteArray> lines = fileContents(path).split('\n');
    QVERIFY(lines.size() > 100);
    for (qsizetype i = 1; i < lines.size() - 1; ++i)
        QVERIFY2(startlog::parseRecordLine(lines[i]) == record, lines[i].constData());
}

void AdditionsTest::recentStartsComeNewestFirstFromALongLog() {
    QTemporaryDir dir;
    const QString path = startlog::startLogPathFor(dir.path());
    QCOMPARE(startlog::readRecentStarts(path, 50).kind, startlog::RecentStarts::Kind::Missing);
    QVERIFY(startlog::appendStart(path, trackStart(0)));
    QByteArray log = fileContents(path);
    for (int n = 1; n < 5000; ++n)
        log += startlog::recordLine(trackStart(n)) + (n % 10 == 0 ? "junk,\x01\n" : "");
    test::writeFile(path, log);

    const startlog::RecentStarts recent = startlog::readRecentStarts(path, 50);
    QCOMPARE(recent.records.size(), 50);
    for (int i = 0; i < 50; ++i)
        QCOMPARE(recent.records[i], trackStart(4999 - i));
    QCOMPARE(recent.junkLines, 5);
    QCOMPARE(startlog::readRecentStarts(path, 10000).records.size(), 5000);

    QFile::remove(path);
    QVERIFY(QDir(dir.path()).mkdir(QFileInfo(path).fileName()));
    QCOMPARE(startlog::readRecentStarts(path, 50).kind, startlog::RecentStarts::Kind::Unreadable);
}

QTEST_GUILESS_MAIN(AdditionsTest)
#include "tst_additions.moc"
