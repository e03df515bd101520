#include "sequence/start_log.h"

#include "sequence/race_clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace korvane::startlog {

namespace {

const QString File_Name = QStringLiteral("starts.csv");
const QString Yes = QStringLiteral("yes");
const QString No = QStringLiteral("no");
const QString Drop_Not_Sent = QStringLiteral("drop not sent");

// A start's line is under a hundred bytes; this much of the end of the file holds far
// more of them than a viewer asks for, however long the log has grown.
constexpr qint64 Bytes_Per_Record_Read = 1024;
constexpr qint64 Min_Tail_Bytes = 64 * 1024;

// Nine digits keep every number well inside an int.
constexpr qsizetype Max_Digits = 9;

QByteArray headerLine() {
    return columnTitles().join(QLatin1Char(',')).toLatin1() + '\n';
}

QString withOffset(const QDateTime& when) {
    const int offsetMinutes = when.offsetFromUtc() / 60;
    const int minutes = std::abs(offsetMinutes);
    return when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) +
           (offsetMinutes < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

template <typename T> QString numberOrEmpty(const std::optional<T>& number) {
    return number ? QString::number(*number) : QString();
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// "32.47" or "--.--", as the race-time panel shows a race.
bool isRaceTimeText(QByteArrayView text) {
    if (text == race::No_Finish.toLatin1())
        return true;
    const qsizetype dot = text.indexOf('.');
    return dot > 0 && dot == text.size() - 3 &&
           std::all_of(text.begin(), text.end(), [](char c) { return isDigit(c) || c == '.'; }) &&
           text.count('.') == 1;
}

const QString Played = QStringLiteral("played");
const QString Without_Output = QStringLiteral("no output");
const QString Stand_In_For = QStringLiteral("stand-in tone for ");

// What soundSummary writes, or nothing. File names may hold anything but the field's
// separator and line ends.
bool isSoundText(const QString& text) {
    if (text.isEmpty() || text == Played || text == Without_Output)
        return true;
    return text.startsWith(Stand_In_For) && text.size() > Stand_In_For.size() &&
           !text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('\n')) &&
           !text.contains(QLatin1Char('\r'));
}

// The fields of one line, read in order; any field that is not what its column holds
// makes the whole line junk.
class FieldReader {
public:
    explicit FieldReader(QByteArrayView line) {
        qsizetype from = 0;
        for (qsizetype comma; (comma = line.indexOf(',', from)) >= 0; from = comma + 1)
            fields_ << line.sliced(from, comma - from);
        fields_ << line.sliced(from);
        good_ = fields_.size() == Column_Count || fields_.size() == Old_Column_Count;
    }

    bool good() const { return good_; }
    QByteArrayView next() { return good_ && next_ < fields_.size() ? fields_[next_++] : ""; }

    int number() { return optionalNumber(false).value_or(0); }
    std::optional<int> optionalNumber(bool mayBeEmpty = true) {
        const QByteArrayView field = next();
        if (field.isEmpty() && mayBeEmpty)
            return std::nullopt;
        if (field.isEmpty() || field.size() > Max_Digits ||
            !std::all_of(field.begin(), field.end(), isDigit)) {
            good_ = false;
            return std::nullopt;
        }
        int value = 0;
        for (const char digit : field)
            value = value * 10 + (digit - '0');
        return value;
    }
    void require(bool condition) { good_ = good_ && condition; }

private:
    QList<QByteArrayView> fields_;
    qsizetype next_ = 0;
    bool good_ = false;
};

bool endsWithLineFeed(QFile& file, qint64 size) {
    char last = 0;
    return file.seek(size - 1) && file.getChar(&last) && last == '\n';
}

bool syncToDisk(QFile& file) {
#ifdef Q_OS_UNIX
    return ::fsync(file.handle()) == 0;
#else
    // Elsewhere the unbuffered write has handed the line to the system; the disk follows.
    return file.flush();
#endif
}

} // namespace

const QStringList& columnTitles() {
    static const QStringList titles = {
        QStringLiteral("Date and time"),
        QStringLiteral("Beep interval (ms)"),
        QStringLiteral("Gate timing (beep)"),
        QStringLiteral("Random delay (ms)"),
        QStringLiteral("Holds"),
        QStringLiteral("Hold time (ms)"),
        QStringLiteral("Aborted"),
        QStringLiteral("Drop after start (ms)"),
        QStringLiteral("Race time (s)"),
        QStringLiteral("Sound"),
    };
    return titles;
}

QStringList recordFields(const StartRecord& record) {
    const QDateTime when = record.when.isValid() ? record.when : QDateTime::currentDateTime();
    const bool raceTimeOk = isRaceTimeText(record.raceTime.toLatin1());
    return {withOffset(when),
            QString::number(record.beepIntervalMs),
            numberOrEmpty(record.gateTiming),
            numberOrEmpty(record.randomDelayMs),
            QString::number(record.holds),
            QString::number(record.holdTotalMs),
            record.aborted ? (record.dropNotSent ? Drop_Not_Sent : Yes) : No,
            numberOrEmpty(record.dropAfterStartMs),
            raceTimeOk ? record.raceTime : QString(),
            isSoundText(record.sound) ? record.sound : QString()};
}

QByteArray recordLine(const StartRecord& record) {
    return recordFields(record).join(QLatin1Char(',')).toLatin1() + '\n';
}

std::optional<StartRecord> parseRecordLine(QByteArrayView line) {
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    FieldReader fields(line);
    StartRecord record;
    record.when = QDateTime::fromString(QString::fromLatin1(fields.next()), Qt::ISODate);
    fields.require(record.when.isValid());
    record.beepIntervalMs = fields.number();
    record.gateTiming = fields.optionalNumber();
    fields.require(!record.gateTiming || (*record.gateTiming >= 1 && *record.gateTiming <= 4));
    record.randomDelayMs = fields.optionalNumber();
    record.holds = fields.number();
    record.holdTotalMs = fields.number();
    const QByteArrayView aborted = fields.next();
    fields.require(aborted == Yes.toLatin1() || aborted == No.toLatin1() ||
                   aborted == Drop_Not_Sent.toLatin1());
    record.aborted = aborted != No.toLatin1();
    record.dropNotSent = aborted == Drop_Not_Sent.toLatin1();
    record.dropAfterStartMs = fields.optionalNumber();
    const QByteArrayView raceTime = fields.next();
    fields.require(raceTime.isEmpty() || isRaceTimeText(raceTime));
    record.raceTime = QString::fromLatin1(raceTime);
    record.sound = QString::fromLatin1(fields.next());
    fields.require(isSoundText(record.sound));
    if (!fields.good())
        return std::nullopt;
    return record;
}

QString soundSummary(bool withoutOutput, const QStringList& standInFiles) {
    if (withoutOutput)
        return Without_Output;
    if (standInFiles.isEmpty())
        return Played;
    QStringList names = standInFiles;
    names.removeDuplicates();
    // A comma would end the field: a name that holds one is written without it.
    return Stand_In_For + names.join(QLatin1Char(' ')).remove(QLatin1Char(','));
}

QString startLogPathFor(const QString& programFolder) {
    return QDir(programFolder).filePath(File_Name);
}

bool appendStart(const QString& path, const StartRecord& record) {
    // A pipe or a device of that name could hold the write up or swallow it.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return false;
    // Append: every write lands at the end of the file, whatever else has happened to
    // it. Unbuffered: the line goes to the system in one write, and a short one shows
    // in its count. Read: to see how the file ends.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    const qint64 size = file.size();
    QByteArray bytes = recordLine(record);
    if (size == 0)
        bytes.prepend(headerLine());
    else if (!endsWithLineFeed(file, size))
        bytes.prepend('\n');
    if (file.write(bytes) != bytes.size()) {
        // Take back what part of the line went in, so the next record finds a whole file.
        file.resize(size);
        return false;
    }
    return syncToDisk(file);
}

RecentStarts readRecentStarts(const QString& path, int count) {
    RecentStarts recent;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return recent;
    recent.kind = RecentStarts::Kind::Unreadable;
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return recent;
    recent.kind = RecentStarts::Kind::Read;

    const qint64 tail = std::max(Min_Tail_Bytes, qint64(count) * Bytes_Per_Record_Read);
    const qint64 from = std::max<qint64>(0, file.size() - tail);
    if (!file.seek(from))
        return recent;
    QList<QByteArray> lines = file.read(tail).split('\n');
    if (from > 0)
        lines.removeFirst(); // the tail begins within a line
    const QByteArray header = headerLine().chopped(1);
    const QByteArray oldHeader =
        columnTitles().mid(0, Old_Column_Count).join(QLatin1Char(',')).toLatin1();
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (recent.records.size() >= count)
            break;
        const QByteArrayView text = line->endsWith('\r') ? line->chopped(1) : *line;
        if (text.isEmpty() || text == header || text == oldHeader)
            continue;
        if (const std::optional<StartRecord> record = parseRecordLine(text)) {
            // A start whose race time came after its ready state has a second, later line:
            // that one holds it all.
            const bool later =
                std::any_of(recent.records.begin(), recent.records.end(),
                            [&](const StartRecord& newer) { return newer.when == record->when; });
            if (!later)
                recent.records << *record;
        } else {
            ++recent.junkLines;
        }
    }
    return recent;
}

} // namespace korvane::startlog
