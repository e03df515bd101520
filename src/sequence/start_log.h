#pragma once

// starts.csv: one line per start, kept in the program folder for the track's own records
// and shown in the start log window. The file only ever grows at its end, one whole line
// per write, so a crash, a power cut or a full disk can cost at most the line being
// written, never one before it.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace korvane::startlog {

struct StartRecord {
    QDateTime when; // the start press; kept to the second, with its offset from UTC
    int beepIntervalMs = 0;
    std::optional<int> gateTiming;    // the beep the gate drops on, 1..4; none when unset
    std::optional<int> randomDelayMs; // none when random start is off
    int holds = 0;
    int holdTotalMs = 0;
    bool aborted = false;
    bool dropNotSent = false;            // aborted because the gate's drop could not be sent
    std::optional<int> dropAfterStartMs; // none when the gate did not drop
    // As the race-time panel shows it: "32.47", race::No_Finish, or empty when no race
    // was timed. Any other text is logged as empty.
    QString raceTime;
    // What the riders heard (soundSummary); empty in files written before it was kept.
    QString sound;

    friend bool operator==(const StartRecord&, const StartRecord&) = default;
};

inline constexpr int Column_Count = 10;
// Files written before the sound was logged have one column less; they read as ever.
inline constexpr int Old_Column_Count = 9;

// The sound column: "played" when every call and tone of the start went to an output as
// recorded; "no output" when any went to no output at all; otherwise which files the
// built-in tone stood in for ("stand-in tone for ok_riders.wav Riders_ready.wav").
QString soundSummary(bool withoutOutput, const QStringList& standInFiles);

// The header line's titles, one per column, in the order of the fields.
const QStringList& columnTitles();

// A record's fields as they stand in the file: the time as ISO 8601 with its offset
// ("2024-05-18T14:03:22+02:00"), numbers in decimal, "yes" / "no", empty for none.
QStringList recordFields(const StartRecord& record);

// One line of the file: the fields joined by commas, and a line feed.
QByteArray recordLine(const StartRecord& record);

// A line of the file back into a record (a line feed or CR LF at its end is allowed);
// nothing for a header, a cut-off line or anything else that is not a whole record. Lines
// of older files, without the sound column, are records too.
std::optional<StartRecord> parseRecordLine(QByteArrayView line);

// programFolder/starts.csv
QString startLogPathFor(const QString& programFolder);

// Adds the record at the end of the file in one write and flushes it to the disk; a new
// or empty file gets the header line first. When the file does not end in a line feed
// (an earlier write was cut short) the record starts on a line of its own. False, with
// the file as it was, when it cannot be written: a folder or special file of that name,
// no permission, a full disk. Never throws; takes one write and one sync.
bool appendStart(const QString& path, const StartRecord& record);

struct RecentStarts {
    enum class Kind {
        Read,       // records holds what was found, possibly nothing
        Missing,    // no file: no start has been logged here yet
        Unreadable, // a folder, a special file or no permission
    };
    Kind kind = Kind::Missing;
    QList<StartRecord> records; // newest first
    int junkLines = 0;          // lines looked at that were neither records nor headers
};

// The last `count` starts in the file, newest first; of two lines for one start (its
// race time came after its ready state) the later stands. Lines that are not records (a
// cut-off line, junk) are counted and passed over. Reads only the end of a long file.
RecentStarts readRecentStarts(const QString& path, int count);

} // namespace korvane::startlog
