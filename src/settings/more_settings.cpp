#include "settings/more_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <optional>

namespace korvane::config {

namespace {

const QString File_Name = QStringLiteral("more-settings.ini");
const QString Random_Start_Key = QStringLiteral("random_start/enabled");
const QString Pulse_Line_Key = QStringLiteral("start_pulse/line");
const QString Pulse_Length_Key = QStringLiteral("start_pulse/length_ms");
const QString Off = QStringLiteral("off");

// A real file is under a hundred bytes; anything this large is not one.
constexpr qint64 Max_File_Bytes = 64 * 1024;

// QSettings keeps what it read of a path and trusts it while the file's size and time
// stay the same, and a rewrite within one tick of the file system's clock keeps both:
// a second QSettings on the real file can return the values it held before. So the
// real file is only ever read and replaced whole, as bytes, and QSettings works on a
// private copy of a fresh name.
class ScratchIni {
public:
    bool isValid() const { return dir_.isValid(); }
    QString path() const { return dir_.filePath(File_Name); }

private:
    QTemporaryDir dir_;
};

// The value QSettings made of a key as text; nothing for anything else (a list, which
// a comma makes, or a serialised variant).
std::optional<QString> plainText(const QVariant& value) {
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<int> wholeNumberIn(const QVariant& value, int lowest, int highest) {
    const std::optional<QString> text = plainText(value);
    bool ok = false;
    const int number = text ? text->toInt(&ok) : 0;
    if (!ok || number < lowest || number > highest)
        return std::nullopt;
    return number;
}

std::optional<bool> toSwitch(const QVariant& value) {
    const std::optional<QString> text = plainText(value);
    if (text == QStringLiteral("true"))
        return true;
    if (text == QStringLiteral("false"))
        return false;
    return std::nullopt;
}

std::optional<qint16> toPulseLine(const QVariant& value) {
    if (plainText(value) == Off)
        return No_Start_Pulse;
    const std::optional<int> line = wholeNumberIn(value, 0, Last_Port_A_Line);
    return line ? std::optional<qint16>(qint16(*line)) : std::nullopt;
}

std::optional<int> toPulseMs(const QVariant& value) {
    return wholeNumberIn(value, Start_Pulse_Ms_Min, Start_Pulse_Ms_Max);
}

QString shownValue(const QVariant& value) {
    const std::optional<QString> text = plainText(value);
    if (!text)
        return QStringLiteral("not a single value");
    return QStringLiteral("\"%1\"").arg(shownField(text->toUtf8()));
}

// Sets `target` from the key when its value is usable. An absent key leaves the
// default without a word; an unusable one is said in `problems`, with what it turns off.
template <typename T, typename Parse>
bool readKey(const QSettings& ini, const QString& key, Parse parse, T& target, const char* expected,
             const char* consequence, QStringList& problems) {
    if (!ini.contains(key))
        return true;
    const QVariant value = ini.value(key);
    if (const auto parsed = parse(value)) {
        target = *parsed;
        return true;
    }
    problems << QStringLiteral("%1 is %2, not %3: %4.")
                    .arg(key, shownValue(value), QString::fromLatin1(expected),
                         QString::fromLatin1(consequence));
    return false;
}

MoreSettings readValues(const QSettings& ini, QStringList& problems) {
    MoreSettings settings;
    readKey(ini, Random_Start_Key, toSwitch, settings.randomStart, "true or false",
            "random start is off", problems);
    const char* pulseOff = "the start pulse is off";
    const bool lineOk = readKey(ini, Pulse_Line_Key, toPulseLine, settings.startPulseLine,
                                "off or a port A line 0 to 7", pulseOff, problems);
    const bool lengthOk = readKey(ini, Pulse_Length_Key, toPulseMs, settings.startPulseMs,
                                  "a length of 10 to 2000 ms", pulseOff, problems);
    if (!lineOk || !lengthOk)
        settings.startPulseLine = No_Start_Pulse;
    return settings;
}

// What keeps the whole file from being used, as the operator is told it.
QString fileProblem(const char* what) {
    return QStringLiteral("The file %1: random start and the start pulse are off.")
        .arg(QString::fromLatin1(what));
}

// The file's bytes, or why there are none.
std::optional<QByteArray> readFileBytes(const QString& path, QString& problem) {
    if (!QFileInfo(path).isFile()) {
        problem = fileProblem("is a folder or a special file");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = fileProblem("cannot be read");
        return std::nullopt;
    }
    QByteArray bytes = file.read(Max_File_Bytes + 1);
    if (bytes.size() > Max_File_Bytes) {
        problem = fileProblem("is too large to be a settings file");
        return std::nullopt;
    }
    return bytes;
}

bool writeFileBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

QString moreSettingsPathFor(const QString& programFolder) {
    return QDir(programFolder).filePath(File_Name);
}

MoreSettingsLoad loadMoreSettings(const QString& path) {
    MoreSettingsLoad load;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return load;
    load.kind = MoreSettingsLoad::Kind::Damaged;

    QString problem;
    const std::optional<QByteArray> bytes = readFileBytes(path, problem);
    ScratchIni scratch;
    if (bytes && (!scratch.isValid() || !writeFileBytes(scratch.path(), *bytes)))
        problem = fileProblem("cannot be read: there is no room for a working copy");
    if (!problem.isEmpty()) {
        load.problems << problem;
        return load;
    }
    const QSettings ini(scratch.path(), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        load.problems << fileProblem("is not an INI file");
        return load;
    }
    load.settings = readValues(ini, load.problems);
    if (load.problems.isEmpty())
        load.kind = MoreSettingsLoad::Kind::Whole;
    return load;
}

bool saveMoreSettings(const QString& path, const MoreSettings& settings) {
    ScratchIni scratch;
    if (!scratch.isValid())
        return false;
    {
        QSettings ini(scratch.path(), QSettings::IniFormat);
        ini.setValue(Random_Start_Key,
                     settings.randomStart ? QStringLiteral("true") : QStringLiteral("false"));
        ini.setValue(Pulse_Line_Key,
                     settings.startPulseOn() ? QString::number(settings.startPulseLine) : Off);
        ini.setValue(Pulse_Length_Key, QString::number(settings.startPulseMs));
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return false;
    }
    QString problem;
    const std::optional<QByteArray> bytes = readFileBytes(scratch.path(), problem);
    return bytes && saveConfigAtomically(path, *bytes);
}

QString moreSettingsProblem(const MoreSettings& settings, const OutputLines& outputs) {
    if (settings.startPulseMs < Start_Pulse_Ms_Min || settings.startPulseMs > Start_Pulse_Ms_Max)
        return QStringLiteral("The start pulse must last from %1 to %2 ms.")
            .arg(Start_Pulse_Ms_Min)
            .arg(Start_Pulse_Ms_Max);
    if (!settings.startPulseOn())
        return {};
    if (settings.startPulseLine < 0 || settings.startPulseLine > Last_Port_A_Line)
        return QStringLiteral("The start pulse needs a port A line from 0 to 7, or Off.");
    const QString driven = lineDrives(settings.startPulseLine, outputs);
    if (driven.isEmpty())
        return {};
    return driven + QStringLiteral(" The start pulse needs a line of its own, or it would "
                                   "switch that output with it: choose another line, or Off.");
}

} // namespace korvane::config
