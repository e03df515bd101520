#include "settings/config_file.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>

namespace korvane::config {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isLineEnd(char c) {
    return c == '\r' || c == '\n';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Position just past the end of the line that holds pos (CR LF counts as one end).
qsizetype pastLineEnd(QByteArrayView data, qsizetype pos) {
    while (pos < data.size() && !isLineEnd(data[pos]))
        ++pos;
    if (pos >= data.size())
        return data.size();
    if (data[pos] == '\r' && pos + 1 < data.size() && data[pos + 1] == '\n')
        return pos + 2;
    return pos + 1;
}

// First position at or after pos that ends a field: a line end or the stop character.
qsizetype fieldEnd(QByteArrayView data, qsizetype pos, char stop) {
    while (pos < data.size() && data[pos] != stop && !isLineEnd(data[pos]))
        ++pos;
    return pos;
}

QByteArrayView trimmedBlanks(QByteArrayView text) {
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

QByteArrayView leadingDigits(QByteArrayView text) {
    const auto end = std::find_if_not(text.begin(), text.end(), isDigit);
    return text.first(end - text.begin());
}

// Rounds whole.fraction to a whole number, a half going to the even neighbour.
qint32 roundHalfEven(qint32 whole, QByteArrayView fraction) {
    if (fraction.isEmpty() || fraction[0] < '5')
        return whole;
    const QByteArrayView rest = fraction.sliced(1);
    const bool aboveHalf =
        fraction[0] > '5' || std::any_of(rest.begin(), rest.end(), [](char c) { return c != '0'; });
    if (aboveHalf || whole % 2 != 0)
        return whole + 1;
    return whole;
}

} // namespace

FieldReader::FieldReader(QByteArray data)
    : data_(std::move(data)) {}

std::optional<QByteArray> FieldReader::nextField() {
    const QByteArrayView data(data_);
    qsizetype pos = pos_;
    while (pos < data.size() && isBlank(data[pos]))
        ++pos;
    if (pos >= data.size()) {
        pos_ = data.size();
        return std::nullopt;
    }

    QByteArrayView field;
    qsizetype end = 0;
    if (data[pos] == '"') {
        end = fieldEnd(data, pos + 1, '"');
        field = data.sliced(pos + 1, end - pos - 1);
    } else {
        end = fieldEnd(data, pos, ',');
        field = data.sliced(pos, end - pos);
        while (!field.isEmpty() && isBlank(field.back()))
            field.chop(1);
    }
    // One field per line: the closing quote, a comma and whatever follows go unread.
    pos_ = pastLineEnd(data, end);
    return field.toByteArray();
}

std::optional<QByteArray> valueText(const QByteArray& field) {
    const qsizetype apostrophe = field.indexOf('\'');
    if (apostrophe < 0)
        return std::nullopt;
    return field.left(apostrophe);
}

std::optional<qint16> toInt16(const QByteArray& valueText) {
    QByteArrayView text = trimmedBlanks(valueText);
    bool negative = false;
    if (!text.isEmpty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text = text.sliced(1);
    }
    const QByteArrayView whole = leadingDigits(text);
    text = text.sliced(whole.size());
    QByteArrayView fraction;
    if (!text.isEmpty() && text.front() == '.') {
        fraction = leadingDigits(text.sliced(1));
        text = text.sliced(1 + fraction.size());
    }
    if (!text.isEmpty() || (whole.isEmpty() && fraction.isEmpty()))
        return std::nullopt;

    // Stop as soon as the whole part is out of reach, so a huge number costs nothing more.
    constexpr qint32 limit = 32768;
    qint32 magnitude = 0;
    for (const char digit : whole) {
        magnitude = magnitude * 10 + (digit - '0');
        if (magnitude > limit)
            return std::nullopt;
    }
    magnitude = roundHalfEven(magnitude, fraction);
    const qint32 value = negative ? -magnitude : magnitude;
    if (value < -limit || value > limit - 1)
        return std::nullopt;
    return static_cast<qint16>(value);
}

std::optional<qint16> pinToMask(qint16 line) {
    if (line <= 0)
        return qint16(1);
    if (line >= 15)
        return std::nullopt;
    return static_cast<qint16>(1 << line);
}

qint16 maskToPin(qint16 mask) {
    qint32 value = mask;
    qint16 halvings = 0;
    while (value > 1) {
        const qint32 half = value / 2;
        // An odd value halves to n + 0.5, which goes to the even one of n and n + 1.
        value = (value % 2 == 0 || half % 2 == 0) ? half : half + 1;
        ++halvings;
    }
    return halvings;
}

const std::array<const char*, Line_Count>& lineLabels() {
    static const std::array<const char*, Line_Count> labels = {
        "'     Beep speed (100 to 500)",       "'       Gate timing (0 to 3)",
        "'       Veiw race timer (T or F",     "'       Gate IO pin (Port A)",
        "'       Red Light IO pin (Port A)",   "'       Orange Light IO pin (Port A)",
        "'       Green Light IO pin (Port A",  "'       Start Button IO Pin (Port B)",
        "'       Finish Beam IO Pin (Port B)",
    };
    return labels;
}

QByteArray writeConfig(const SettingsRecord& record) {
    const std::array<QByteArray, Line_Count> values = {
        QByteArray::number(record.beepSpeed),
        QByteArray::number(record.gateTiming),
        QByteArray(record.raceTimePanel ? "T" : "F"),
        QByteArray::number(record.gate),
        QByteArray::number(record.red),
        QByteArray::number(record.orange),
        QByteArray::number(record.green),
        QByteArray::number(record.startButtonLine),
        QByteArray::number(record.finishBeamLine),
    };
    QByteArray file;
    for (int line = 0; line < Line_Count; ++line)
        file += '"' + values[line] + lineLabels()[line] + "\"\r\n";
    return file;
}

namespace {

// Line n's name as the file's own label gives it ("Gate IO pin (Port A)").
QString lineName(int line) {
    QString label = QString::fromLatin1(lineLabels()[line - 1]).mid(1).trimmed();
    return label;
}

} // namespace

QString shownField(const QByteArray& field) {
    constexpr qsizetype longest = 24;
    QString text;
    for (const char c : field.left(longest))
        text += (c >= 0x20 && c < 0x7f) ? QChar::fromLatin1(c) : QChar(u'?');
    if (field.size() > longest)
        text += QStringLiteral("...");
    return text;
}

// The built-in values of lines `from` to 9, as the operator reads them.
QString builtInValues(int from) {
    static const std::array<const char*, Line_Count> values = {
        "beep speed 150 ms",     "no gate timing",       "race time hidden",
        "gate on port A line 0", "red light on line 0",  "orange light on line 0",
        "green light on line 0", "no start button line", "no finish beam line",
    };
    QStringList said;
    for (int line = from; line <= Line_Count; ++line)
        said << QString::fromLatin1(values[line - 1]);
    return said.join(QStringLiteral(", "));
}

QString loadReport(const LoadOutcome& outcome, const QString& path) {
    const QString file = QDir::toNativeSeparators(path);
    const QString whole =
        QStringLiteral("Built-in values stand for every setting: %1.").arg(builtInValues(1));
    switch (outcome.kind) {
    case LoadOutcome::Kind::NotRead:
    case LoadOutcome::Kind::Whole:
        return {};
    case LoadOutcome::Kind::Missing:
        return QStringLiteral("The settings file %1 was not found.\n\n").arg(file) + whole;
    case LoadOutcome::Kind::NotAFile:
        return QStringLiteral("The settings file %1 is not a file.\n\n").arg(file) + whole;
    case LoadOutcome::Kind::Unreadable:
        return QStringLiteral("The settings file %1 cannot be read.\n\n").arg(file) + whole +
               QStringLiteral(" Settings are not saved over it while it cannot be read.");
    case LoadOutcome::Kind::Damaged:
        break;
    }
    const QString what =
        outcome.field.isEmpty()
            ? QStringLiteral("is missing")
            : QStringLiteral("could not be used (\"%1\")").arg(shownField(outcome.field));
    const QString lines = outcome.line == Line_Count
                              ? QStringLiteral("line %1").arg(outcome.line)
                              : QStringLiteral("lines %1 to %2").arg(outcome.line).arg(Line_Count);
    // One arg() for all, so that a "%1" in the path or the field is never replaced.
    return QStringLiteral("In the settings file %1, line %2 (%3) %4.\n\n"
                          "Built-in values stand for %5: %6.\n\n"
                          "The next save keeps the file as it is now in %7.")
        .arg(file, QString::number(outcome.line), lineName(outcome.line), what, lines,
             builtInValues(outcome.line), QFileInfo(backupPathFor(path)).fileName());
}

QString lineDrives(qint16 line, const OutputLines& outputs) {
    const std::array<std::pair<qint16, const char*>, 4> named = {
        {{outputs.gate, "the gate"},
         {outputs.red, "the red light"},
         {outputs.orange, "the orange light"},
         {outputs.green, "the green light"}}};
    QStringList driven;
    for (const auto& [outputLine, name] : named)
        if (outputLine == line)
            driven << QString::fromLatin1(name);
    if (driven.isEmpty())
        return {};
    const QString last = driven.takeLast();
    const QString all = driven.isEmpty()
                            ? last
                            : driven.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    return QStringLiteral("Port A line %1 drives %2.").arg(QString::number(line), all);
}

QString sharedOutputLines(qint16 gate, qint16 red, qint16 orange, qint16 green) {
    const OutputLines outputs{gate, red, orange, green};
    const std::array<qint16, 4> lines = {gate, red, orange, green};
    QStringList said;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto first = std::find(lines.begin(), lines.end(), lines[i]);
        const bool shared = std::count(lines.begin(), lines.end(), lines[i]) > 1;
        if (shared && first == lines.begin() + i)
            said << lineDrives(lines[i], outputs);
    }
    if (said.isEmpty())
        return {};
    return said.join(QLatin1Char(' ')) +
           QStringLiteral(" Outputs on one line switch together: a light on the gate's line "
                          "raises or drops the gate with it. Starts still run. Give each "
                          "output a line of its own in config.dat (lines 4 to 7).");
}

QString backupPathFor(const QString& configPath) {
    for (int n = 1;; ++n) {
        const QString candidate =
            configPath + (n == 1 ? QStringLiteral(".bak") : QStringLiteral(".bak%1").arg(n));
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}

QString configPathFor(const QString& programFolder) {
    return QDir(programFolder).filePath(QStringLiteral("config.dat"));
}

bool saveConfigAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, so a short write (a full disk) shows in write()'s count: a buffered
    // QSaveFile can take a partial flush for success and commit a truncated file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace korvane::config
