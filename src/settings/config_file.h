#pragma once

// config.dat: the program's settings file, nine quoted lines of value + label.
// Reading is step by step (one field per line) because the load applies each
// line at once and stops at the first line that fails.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

namespace korvane::config {

// The nine values as they stand in the file: output and input line numbers, not masks.
struct SettingsRecord {
    qint16 beepSpeed = 150;
    qint16 gateTiming = 0;
    bool raceTimePanel = false;
    qint16 gate = 0;
    qint16 red = 0;
    qint16 orange = 0;
    qint16 green = 0;
    qint16 startButtonLine = 0;
    qint16 finishBeamLine = 0;

    friend bool operator==(const SettingsRecord&, const SettingsRecord&) = default;
};

inline constexpr int Line_Count = 9;

// Reads config.dat one field per line, like a classic sequential-file field reader:
// - leading blanks (space, tab) are skipped;
// - a field starting with a double quote runs to the next double quote on that line
//   (an unclosed quote runs to the end of the line); the quotes are not part of it;
// - any other field runs to the first comma or the end of the line, trailing blanks
//   dropped;
// - whatever follows the field on its line (a comma and more) is skipped, so every
//   call consumes exactly one line; an empty line is an empty field;
// - CR LF, lone LF and lone CR each end a line;
// - nothing left at all (end of the file, or only blanks before it) is a failure.
// Every byte is looked at a bounded number of times: linear in the input size.
class FieldReader {
public:
    explicit FieldReader(QByteArray data);

    std::optional<QByteArray> nextField();

private:
    QByteArray data_;
    qsizetype pos_ = 0;
};

// The value part of a field: the text before its first apostrophe (possibly empty).
// A field without an apostrophe is not a settings line.
std::optional<QByteArray> valueText(const QByteArray& field);

// A 16-bit whole number from value text: blanks around it, an optional sign, decimal
// digits with an optional fraction. A fraction rounds to the nearest whole number, a
// half to the even one ("2.5" -> 2, "3.5" -> 4). No exponent, no hex, no thousands
// separators. Empty, anything else, or a result outside -32768..32767 fails.
std::optional<qint16> toInt16(const QByteArray& valueText);

// Input line number -> bit mask: 1 for a line <= 0, 2^line for 1..14; 15 and up fail.
std::optional<qint16> pinToMask(qint16 line);

// Bit mask -> input line number: the number of halvings (each rounded half to even)
// that bring the mask down to 1 or less. The inverse of pinToMask on its masks.
qint16 maskToPin(qint16 mask);

// The nine labels, each starting with its apostrophe.
const std::array<const char*, Line_Count>& lineLabels();

// The whole file, byte-exact: for each of the nine lines a double quote, the value
// (shortest decimal, or T / F for the race-time panel), the label, a double quote, CR LF.
QByteArray writeConfig(const SettingsRecord& record);

// What a load made of config.dat. Anything but Whole leaves built-in values for the
// lines it did not apply.
struct LoadOutcome {
    enum class Kind {
        NotRead,    // no load has run
        Whole,      // every line applied
        Missing,    // no file of that name
        NotAFile,   // a folder, a pipe or another special file of that name
        Unreadable, // no permission, or a read error
        Damaged,    // `line` could not be used
    };
    LoadOutcome(Kind kind = Kind::NotRead, int line = 0, QByteArray field = {})
        : kind(kind)
        , line(line)
        , field(std::move(field)) {}
    static LoadOutcome damagedAt(int line, const QByteArray& field) {
        return {Kind::Damaged, line, field};
    }

    Kind kind;
    int line;         // Damaged: 1..9
    QByteArray field; // Damaged: that line's field as read, empty when there was none
};

// What the operator is told at start-up about a load that was not whole: the file, the
// first line that could not be used, and that built-in values stand for it and the
// lines after it. Plain text; empty for a whole load.
QString loadReport(const LoadOutcome& outcome, const QString& path);

// A value read from a file as the operator may be shown it: printable ASCII (anything
// else as '?'), at most 24 characters and "..." after a longer one.
QString shownField(const QByteArray& field);

// The four outputs on port A.
struct OutputLines {
    qint16 gate = 0;
    qint16 red = 0;
    qint16 orange = 0;
    qint16 green = 0;
};

// What port A line `line` drives among the outputs, said for the operator ("Port A line
// 0 drives the gate and the red light."); empty when it drives none of them.
QString lineDrives(qint16 line, const OutputLines& outputs);

// The port-A lines that drive more than one of the gate and the three lights, said for
// the operator ("Port A line 0 drives the gate and the red light ..."); empty when each
// output has a line of its own.
QString sharedOutputLines(qint16 gate, qint16 red, qint16 orange, qint16 green);

// Where a file that did not load whole is kept before the first save replaces it: the
// first of config.dat.bak, config.dat.bak2, ... that does not exist yet, so that no
// earlier backup is ever overwritten.
QString backupPathFor(const QString& configPath);

// programFolder/config.dat
QString configPathFor(const QString& programFolder);

// Replaces the file at path by bytes in one step: on any failure the previous file
// stays whole and false is returned. Never throws, never prints.
bool saveConfigAtomically(const QString& path, const QByteArray& bytes);

} // namespace korvane::config
