#include "settings/config_file.h"
#include "tests/support/files.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane::config;
using korvane::test::fileContents;
using korvane::test::onFullDisk;
using korvane::test::writeFile;

Q_DECLARE_METATYPE(std::optional<qint16>)
Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

QList<QByteArray> allFields(const QByteArray& data) {
    FieldReader reader(data);
    QList<QByteArray> fields;
    while (const auto field = reader.nextField())
        fields.append(*field);
    return fields;
}

// Reads the nine lines back the way the load does; nullopt at the first bad line.
std::optional<SettingsRecord> readRecord(const QByteArray& file) {
    FieldReader reader(file);
    std::array<qint16, Line_Count> numbers{};
    bool panel = false;
    for (int line = 0; line < Line_Count; ++line) {
        const auto field = reader.nextField();
        const auto value = field ? valueText(*field) : std::nullopt;
        if (!value)
            return std::nullopt;
        if (line == 2) {
            if (*value != "T" && *value != "F")
                return std::nullopt;
            panel = *value == "T";
            continue;
        }
        const auto number = toInt16(*value);
        if (!number)
            return std::nullopt;
        numbers[line] = *number;
    }
    return SettingsRecord{numbers[0], numbers[1], panel,      numbers[3], numbers[4],
                          numbers[5], numbers[6], numbers[7], numbers[8]};
}

const QByteArray Start_Values_File = "\"150'     Beep speed (100 to 500)\"\r\n"
                                     "\"0'       Gate timing (0 to 3)\"\r\n"
                                     "\"F'       Veiw race timer (T or F\"\r\n"
                                     "\"0'       Gate IO pin (Port A)\"\r\n"
                                     "\"0'       Red Light IO pin (Port A)\"\r\n"
                                     "\"0'       Orange Light IO pin (Port A)\"\r\n"
                                     "\"0'       Green Light IO pin (Port A\"\r\n"
                                     "\"0'       Start Button IO Pin (Port B)\"\r\n"
                                     "\"0'       Finish Beam IO Pin (Port B)\"\r\n";

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT

private slots:
    void readerSplitsFieldsLikeTheFileReader_data();
    void readerSplitsFieldsLikeTheFileReader();
    void readerKeepsHugeFieldsWhole();
    void valueTextIsThePartBeforeTheApostrophe_data();
    void valueTextIsThePartBeforeTheApostrophe();
    void numberConversionRoundsHalfToEvenAndChecksRange_data();
    void numberConversionRoundsHalfToEvenAndChecksRange();
    void pinToMask_data();
    void pinToMask();
    void maskToPinCountsRoundedHalvings_data();
    void maskToPinCountsRoundedHalvings();
    void maskToPinInvertsPinToMask();
    void writerProducesTheStartValuesFileByteExact();
    void writtenRecordReadsBackUnchanged_data();
    void writtenRecordReadsBackUnchanged();
    void configPathIsInTheProgramFolder_data();
    void configPathIsInTheProgramFolder();
    void saveReplacesTheFile();
    void saveToAnImpossiblePathFailsQuietly_data();
    void saveToAnImpossiblePathFailsQuietly();
    void saveFailingMidWriteLeavesThePreviousFileWhole();
    void outputsSharingALineAreNamed_data();
    void outputsSharingALineAreNamed();
    void backupNeverReplacesAnEarlierOne();
    void reportNamesTheBuiltInValueOfEveryLineLeft_data();
    void reportNamesTheBuiltInValueOfEveryLineLeft();
};

void TestConfigFile::readerSplitsFieldsLikeTheFileReader_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<QByteArray>>("fields");

    QTest::newRow("quoted, CR LF")
        << QByteArray("\"150'a\"\r\n\"0'b\"\r\n") << QList<QByteArray>{"150'a", "0'b"};
    QTest::newRow("quoted, lone LF")
        << QByteArray("\"1'a\"\n\"2'b\"\n") << QList<QByteArray>{"1'a", "2'b"};
    QTest::newRow("quoted, lone CR")
        << QByteArray("\"1'a\"\r\"2'b\"\r") << QList<QByteArray>{"1'a", "2'b"};
    QTest::newRow("CR CR LF is two line ends")
        << QByteArray("a\r\r\nb") << QList<QByteArray>{"a", "", "b"};
    QTest::newRow("text after the closing quote is skipped")
        << QByteArray("  \"5'a\" tail, more\r\n6'b") << QList<QByteArray>{"5'a", "6'b"};
    QTest::newRow("unquoted ends at a comma, rest of line skipped")
        << QByteArray("150'a,junk,\"x\"\r\n7'b\r\n") << QList<QByteArray>{"150'a", "7'b"};
    QTest::newRow("unquoted: blanks around dropped, inner kept")
        << QByteArray(" \t5 'a b \t\n") << QList<QByteArray>{"5 'a b"};
    QTest::newRow("quoted keeps its blanks")
        << QByteArray("\" 5 'a \"") << QList<QByteArray>{" 5 'a "};
    QTest::newRow("unclosed quote runs to the end of its line")
        << QByteArray("\"1'a\r\n\"2'b") << QList<QByteArray>{"1'a", "2'b"};
    QTest::newRow("quote inside an unquoted field is text")
        << QByteArray("1'a\"b\"\r\n") << QList<QByteArray>{"1'a\"b\""};
    QTest::newRow("empty line is an empty field")
        << QByteArray("\r\n  \r\n\"1'a\"") << QList<QByteArray>{"", "", "1'a"};
    QTest::newRow("last line without line end")
        << QByteArray("\"1'a\"\r\n\"2'b\"") << QList<QByteArray>{"1'a", "2'b"};
    QTest::newRow("NUL and Latin-1 bytes are plain text")
        << QByteArray("\"1\0'\xe9\"\r\n\xff\0\n", 10)
        << QList<QByteArray>{QByteArray("1\0'\xe9", 4), QByteArray("\xff\0", 2)};
    QTest::newRow("empty file has no field") << QByteArray() << QList<QByteArray>{};
    QTest::newRow("trailing blanks are no field")
        << QByteArray("\"1'a\"\r\n   ") << QList<QByteArray>{"1'a"};
}

void TestConfigFile::readerSplitsFieldsLikeTheFileReader() {
    QFETCH(QByteArray, data);
    QFETCH(QList<QByteArray>, fields);

    FieldReader reader(data);
    QList<QByteArray> read;
    while (const auto field = reader.nextField())
        read.append(*field);
    QCOMPARE(read, fields);
    // Past the end it keeps failing rather than starting over or crashing.
    QVERIFY(!reader.nextField());
}

void TestConfigFile::readerKeepsHugeFieldsWhole() {
    const QByteArray digits(1 << 20, '7');
    const QList<QByteArray> fields = allFields('"' + digits + "'a\"\r\n" + digits + ",x\n\"9'b\"");
    QCOMPARE(fields.size(), 3);
    QCOMPARE(fields[0], digits + "'a");
    QCOMPARE(fields[1], digits);
    QCOMPARE(fields[2], QByteArray("9'b"));
    QCOMPARE(allFields(QByteArray(1 << 20, '\r')).size(), 1 << 20);
}

void TestConfigFile::valueTextIsThePartBeforeTheApostrophe_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<std::optional<QByteArray>>("value");

    QTest::newRow("number") << QByteArray("150'     Beep") << std::optional<QByteArray>("150");
    QTest::newRow("empty value") << QByteArray("'label") << std::optional<QByteArray>("");
    QTest::newRow("first apostrophe counts")
        << QByteArray(" 1 '2'3") << std::optional<QByteArray>(" 1 ");
    QTest::newRow("no apostrophe") << QByteArray("150") << std::optional<QByteArray>();
    QTest::newRow("empty field") << QByteArray() << std::optional<QByteArray>();
}

void TestConfigFile::valueTextIsThePartBeforeTheApostrophe() {
    QFETCH(QByteArray, field);
    QFETCH(std::optional<QByteArray>, value);
    QCOMPARE(valueText(field), value);
}

void TestConfigFile::numberConversionRoundsHalfToEvenAndChecksRange_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<std::optional<qint16>>("number");
    const std::optional<qint16> fails;
    const auto is = [](int n) { return std::optional<qint16>(qint16(n)); };

    QTest::newRow("plain") << QByteArray("150") << is(150);
    QTest::newRow("trailing blank") << QByteArray("3 ") << is(3);
    QTest::newRow("leading blank") << QByteArray(" 3") << is(3);
    QTest::newRow("tabs around") << QByteArray("\t12\t") << is(12);
    QTest::newRow("plus sign") << QByteArray("+7") << is(7);
    QTest::newRow("leading zeros") << QByteArray("007") << is(7);
    QTest::newRow("2.5 to even 2") << QByteArray("2.5") << is(2);
    QTest::newRow("3.5 to even 4") << QByteArray("3.5") << is(4);
    QTest::newRow("-2.5 to even -2") << QByteArray("-2.5") << is(-2);
    QTest::newRow("-0.5 to 0") << QByteArray("-0.5") << is(0);
    QTest::newRow("2.50 is still a half") << QByteArray("2.50") << is(2);
    QTest::newRow("just above a half") << QByteArray("2.5000001") << is(3);
    QTest::newRow("below a half") << QByteArray("2.4999") << is(2);
    QTest::newRow("no fraction digits") << QByteArray("3.") << is(3);
    QTest::newRow("no whole digits") << QByteArray(".6") << is(1);
    QTest::newRow("minus zero") << QByteArray("-0") << is(0);
    QTest::newRow("largest") << QByteArray("32767") << is(32767);
    QTest::newRow("largest after rounding") << QByteArray("32767.4") << is(32767);
    QTest::newRow("smallest") << QByteArray("-32768") << is(-32768);
    QTest::newRow("smallest, half to even") << QByteArray("-32768.5") << is(-32768);
    QTest::newRow("one too large") << QByteArray("32768") << fails;
    QTest::newRow("rounds to one too large") << QByteArray("32767.5") << fails;
    QTest::newRow("one too small") << QByteArray("-32769") << fails;
    QTest::newRow("rounds to one too small") << QByteArray("-32768.6") << fails;
    QTest::newRow("empty") << QByteArray("") << fails;
    QTest::newRow("blanks only") << QByteArray("   ") << fails;
    QTest::newRow("letters") << QByteArray("abc") << fails;
    QTest::newRow("trailing junk") << QByteArray("12a") << fails;
    QTest::newRow("decimal comma") << QByteArray("1,5") << fails;
    QTest::newRow("exponent") << QByteArray("1e3") << fails;
    QTest::newRow("hex") << QByteArray("0x10") << fails;
    QTest::newRow("blank after sign") << QByteArray("- 3") << fails;
    QTest::newRow("two numbers") << QByteArray("3 4") << fails;
    QTest::newRow("sign only") << QByteArray("-") << fails;
    QTest::newRow("point only") << QByteArray(".") << fails;
    QTest::newRow("NUL inside") << QByteArray("1\0", 2) << fails;
    QTest::newRow("1 MB of digits") << QByteArray(1 << 20, '9') << fails;
    QTest::newRow("1 MB of leading zeros") << QByteArray(1 << 20, '0') + "42" << is(42);
    QTest::newRow("half, then 1 MB of zeros") << "2.5" + QByteArray(1 << 20, '0') << is(2);
    QTest::newRow("half, 1 MB of zeros, then a 1")
        << "2.5" + QByteArray(1 << 20, '0') + "1" << is(3);
}

void TestConfigFile::numberConversionRoundsHalfToEvenAndChecksRange() {
    QFETCH(QByteArray, text);
    QFETCH(std::optional<qint16>, number);
    QCOMPARE(toInt16(text), number);
}

void TestConfigFile::pinToMask_data() {
    QTest::addColumn<int>("line");
    QTest::addColumn<std::optional<qint16>>("mask");

    QTest::newRow("most negative") << -32768 << std::optional<qint16>(1);
    QTest::newRow("negative") << -1 << std::optional<qint16>(1);
    QTest::newRow("0") << 0 << std::optional<qint16>(1);
    QTest::newRow("1") << 1 << std::optional<qint16>(2);
    QTest::newRow("7") << 7 << std::optional<qint16>(128);
    QTest::newRow("14") << 14 << std::optional<qint16>(16384);
    QTest::newRow("15 fails") << 15 << std::optional<qint16>();
    QTest::newRow("largest fails") << 32767 << std::optional<qint16>();
}

void TestConfigFile::pinToMask() {
    QFETCH(int, line);
    QFETCH(std::optional<qint16>, mask);
    QCOMPARE(korvane::config::pinToMask(qint16(line)), mask);
}

void TestConfigFile::maskToPinCountsRoundedHalvings_data() {
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("line");

    QTest::newRow("negative") << -5 << 0;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("1") << 1 << 0;
    QTest::newRow("2") << 2 << 1;
    QTest::newRow("3: 1.5 goes to 2") << 3 << 2;
    QTest::newRow("5: 2.5 goes to 2") << 5 << 2;
    QTest::newRow("6: 3, then 1.5 goes to 2") << 6 << 3;
    QTest::newRow("7: 3.5 goes to 4") << 7 << 3;
    QTest::newRow("11: 5.5 goes to 6") << 11 << 4;
    QTest::newRow("16384") << 16384 << 14;
    QTest::newRow("24576") << 24576 << 15;
    QTest::newRow("largest: 16383.5 goes to 16384") << 32767 << 15;
}

void TestConfigFile::maskToPinCountsRoundedHalvings() {
    QFETCH(int, mask);
    QFETCH(int, line);
    QCOMPARE(maskToPin(qint16(mask)), qint16(line));
}

void TestConfigFile::maskToPinInvertsPinToMask() {
    for (qint16 line = 0; line <= 14; ++line)
        QCOMPARE(maskToPin(*korvane::config::pinToMask(line)), line);
}

void TestConfigFile::writerProducesTheStartValuesFileByteExact() {
    const QByteArray file = writeConfig(SettingsRecord{});
    QCOMPARE(file, Start_Values_File);
    QCOMPARE(file.indexOf("\r\n") + 2, 36);

    // Every label sits between the value and the closing quote of its own line.
    const QList<QByteArray> lines = file.split('\n');
    QCOMPARE(lines.size(), Line_Count + 1);
    QVERIFY(lines.last().isEmpty());
    for (int line = 0; line < Line_Count; ++line)
        QVERIFY(lines[line].endsWith(QByteArray(lineLabels()[line]) + "\"\r"));
}

void TestConfigFile::writtenRecordReadsBackUnchanged_data() {
    QTest::addColumn<SettingsRecord>("record");

    QTest::newRow("start values") << SettingsRecord{};
    QTest::newRow("typical") << SettingsRecord{300, 2, true, 0, 1, 2, 3, 4, 5};
    QTest::newRow("extremes") << SettingsRecord{32767,  -32768, true, -1, 255,
                                                -32768, 32767,  14,   -7};
}

void TestConfigFile::writtenRecordReadsBackUnchanged() {
    QFETCH(SettingsRecord, record);
    const QByteArray file = writeConfig(record);
    QCOMPARE(readRecord(file), std::optional<SettingsRecord>(record));
    // Nothing but the nine lines: a tenth read finds the end of the file.
    FieldReader reader(file);
    for (int line = 0; line < Line_Count; ++line)
        QVERIFY(reader.nextField());
    QVERIFY(!reader.nextField());
}

void TestConfigFile::configPathIsInTheProgramFolder_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("path");

    QTest::newRow("plain") << "/opt/korvane"
                           << "/opt/korvane/config.dat";
    QTest::newRow("trailing slash") << "/opt/korvane/"
                                    << "/opt/korvane/config.dat";
    QTest::newRow("root") << "/"
                          << "/config.dat";
}

void TestConfigFile::configPathIsInTheProgramFolder() {
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QCOMPARE(configPathFor(folder), path);
}

void TestConfigFile::saveReplacesTheFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = configPathFor(dir.path());
    writeFile(path, "old, longer than the new contents of the file");

    const QByteArray bytes = writeConfig(SettingsRecord{});
    QVERIFY(saveConfigAtomically(path, bytes));
    QCOMPARE(fileContents(path), bytes);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.dat"});
}

void TestConfigFile::saveToAnImpossiblePathFailsQuietly_data() {
    QTest::addColumn<QString>("blocker"); // a file or directory that makes the save impossible
    QTest::addColumn<QString>("target");  // relative to the temporary folder

    QTest::newRow("parent is a regular file") << "program"
                                              << "program/config.dat";
    QTest::newRow("target is a directory") << "config.dat/"
                                           << "config.dat";
    QTest::newRow("parent does not exist") << ""
                                           << "missing/config.dat";
}

void TestConfigFile::saveToAnImpossiblePathFailsQuietly() {
    QFETCH(QString, blocker);
    QFETCH(QString, target);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString blockerPath = dir.filePath(blocker);
    const QByteArray old = "the previous contents";
    if (blocker.endsWith('/'))
        QVERIFY(QDir().mkpath(blockerPath));
    else if (!blocker.isEmpty())
        writeFile(blockerPath, old);

    QTest::failOnWarning(QRegularExpression(".*"));
    QVERIFY(!saveConfigAtomically(dir.filePath(target), writeConfig(SettingsRecord{})));
    if (blocker.endsWith('/'))
        QVERIFY(QFileInfo(blockerPath).isDir());
    else if (!blocker.isEmpty())
        QCOMPARE(fileContents(blockerPath), old);
}

// A write that fails part-way (here: the file size limit, which holds even for root)
// must leave the previous file as it was, not truncated or half written.
void TestConfigFile::saveFailingMidWriteLeavesThePreviousFileWhole() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = configPathFor(dir.path());
    const QByteArray old = writeConfig(SettingsRecord{});
    writeFile(path, old);

    QVERIFY(
        !onFullDisk(64, [&] { return saveConfigAtomically(path, QByteArray(64 * 1024, 'x')); }));
    QCOMPARE(fileContents(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.dat"});
}

void TestConfigFile::outputsSharingALineAreNamed_data() {
    QTest::addColumn<QList<int>>("lines"); // gate, red, orange, green
    QTest::addColumn<QStringList>("said");
    QTest::newRow("each its own") << QList<int>{0, 1, 2, 3} << QStringList();
    QTest::newRow("gate and red") << QList<int>{3, 3, 4, 5}
                                  << QStringList{
                                         "Port A line 3 drives the gate and the red light."};
    QTest::newRow("two pairs") << QList<int>{0, 1, 1, 0}
                               << QStringList{"Port A line 0 drives the gate and the green light.",
                                              "Port A line 1 drives the red light and the orange "
                                              "light."};
    QTest::newRow("built-in values")
        << QList<int>{0, 0, 0, 0}
        << QStringList{"Port A line 0 drives the gate, the red light, the orange light and the "
                       "green light."};
}

void TestConfigFile::outputsSharingALineAreNamed() {
    QFETCH(QList<int>, lines);
    QFETCH(QStringList, said);
    const QString text = korvane::config::sharedOutputLines(qint16(lines[0]), qint16(lines[1]),
                                                            qint16(lines[2]), qint16(lines[3]));
    QCOMPARE(text.isEmpty(), said.isEmpty());
    for (const QString& sentence : said)
        QVERIFY2(text.contains(sentence), qPrintable(text));
    QCOMPARE(text.count(QStringLiteral("drives")), said.size());
}

void TestConfigFile::backupNeverReplacesAnEarlierOne() {
    QTemporaryDir dir;
    const QString path = korvane::config::configPathFor(dir.path());
    QCOMPARE(korvane::config::backupPathFor(path), path + ".bak");
    QVERIFY(korvane::config::saveConfigAtomically(path + ".bak", "earlier"));
    QCOMPARE(korvane::config::backupPathFor(path), path + ".bak2");
}

void TestConfigFile::reportNamesTheBuiltInValueOfEveryLineLeft_data() {
    QTest::addColumn<int>("line"); // the first that could not be used
    QTest::addColumn<QStringList>("standing");
    QTest::newRow("the last line") << 9 << QStringList{"no finish beam line"};
    QTest::newRow("the gate's line")
        << 4
        << QStringList{"gate on port A line 0", "green light on line 0", "no finish beam line"};
}

// What stands for the lines the load did not reach is said, down to the last one.
void TestConfigFile::reportNamesTheBuiltInValueOfEveryLineLeft() {
    QFETCH(int, line);
    QFETCH(QStringList, standing);
    const QString text = korvane::config::loadReport(
        korvane::config::LoadOutcome::damagedAt(line, "x"), QStringLiteral("config.dat"));
    for (const QString& value : standing)
        QVERIFY2(text.contains(value), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("beep speed 150 ms")), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_config_file.moc"
