// The settings record on the main window: config.dat and the settings controls.
#include "app/frmUSB_Main.h"

#include "app/application.h"
#include "app/message_box.h"
#include "settings/passwords.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QScrollBar>

namespace korvane {

namespace {

using config::LoadOutcome;

// A real settings file is a few hundred bytes; more than this is junk and is read
// only as far as this.
constexpr qint64 Max_Config_Bytes = 1 << 20;

// Reads config.dat line by line and remembers the last field it read, so that a line
// that cannot be used can be named with what it held.
class SettingsReader {
public:
    explicit SettingsReader(QByteArray data)
        : reader_(std::move(data)) {}

    LoadOutcome damaged() const { return LoadOutcome::damagedAt(line_, field_); }

    // The next line's value text, or nothing when the line is missing or has no apostrophe.
    std::optional<QByteArray> nextValue() {
        ++line_;
        const std::optional<QByteArray> field = reader_.nextField();
        field_ = field.value_or(QByteArray());
        return field ? config::valueText(*field) : std::nullopt;
    }

    std::optional<qint16> nextNumber() {
        const std::optional<QByteArray> value = nextValue();
        return value ? config::toInt16(*value) : std::nullopt;
    }

    // An output line number goes out as one byte, so only 0..255 is a line.
    std::optional<qint16> nextOutputLine() {
        const std::optional<qint16> line = nextNumber();
        return line && *line >= 0 && *line <= 255 ? line : std::nullopt;
    }

    std::optional<qint16> nextInputMask() {
        const std::optional<qint16> line = nextNumber();
        return line ? config::pinToMask(*line) : std::nullopt;
    }

private:
    config::FieldReader reader_;
    int line_ = 0;
    QByteArray field_;
};

// A file that did not load whole holds values the window does not: before the first
// save replaces it, it is copied aside. Only a plain file can hold what an operator
// wrote. The copy's path (empty when there was nothing to copy), or nothing when it
// could not be made: the save must not go on then.
std::optional<QString> keepPreviousFile(const QString& path) {
    if (!QFileInfo(path).isFile())
        return QString();
    const QString copy = config::backupPathFor(path);
    if (!QFile::copy(path, copy))
        return std::nullopt;
    return copy;
}

void reportSaveFailure(const QString& path) {
    showMessage(nullptr,
                {QStringLiteral("The settings could not be saved to %1. The file is as it was.")
                     .arg(QDir::toNativeSeparators(path)),
                 Application_Title, MessageIcon::Warning});
}

} // namespace

// Each line takes effect at once; the first line that fails ends the load, so earlier
// lines stay applied and later values keep what they had. Nothing is reported here:
// the load handler tells the operator once (Settings_Report).
void frmUSB_Main::Load_Settings() {
    settingsLoad = readSettingsFile();
    pushSettings();
}

LoadOutcome frmUSB_Main::readSettingsFile() {
    const QString path = config::configPathFor(programFolder_);
    const QFileInfo info(path);
    if (!info.exists())
        return {LoadOutcome::Kind::Missing};
    // Only a plain file: opening a pipe of that name would wait for a writer for ever.
    if (!info.isFile())
        return {LoadOutcome::Kind::NotAFile};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {LoadOutcome::Kind::Unreadable};
    SettingsReader reader(file.read(Max_Config_Bytes));
    file.close();

    const std::optional<qint16> beepSpeed = reader.nextNumber();
    if (!beepSpeed || *beepSpeed < HScroll1->minimum() || *beepSpeed > HScroll1->maximum())
        return reader.damaged();
    HScroll1->setValue(*beepSpeed);

    const std::optional<qint16> gateTiming = reader.nextNumber();
    if (!gateTiming || *gateTiming < 0 || *gateTiming > 3)
        return reader.damaged();
    Gate_timing[*gateTiming]->setChecked(true);

    const std::optional<QByteArray> panel = reader.nextValue();
    if (!panel)
        return reader.damaged();
    if (*panel == "T" || *panel == "F") {
        Veiw_Timer->setChecked(*panel == "T");
        Frame2->setVisible(*panel == "T");
    }

    for (qint16* line : {&Gate, &Red, &Orange, &Green}) {
        const std::optional<qint16> value = reader.nextOutputLine();
        if (!value)
            return reader.damaged();
        *line = *value;
    }
    for (qint16* mask : {&Start_Button, &Finish_Beam}) {
        const std::optional<qint16> value = reader.nextInputMask();
        if (!value)
            return reader.damaged();
        *mask = *value;
    }
    return {LoadOutcome::Kind::Whole};
}

// Random start and the start pulse; a pulse that would share the gate's or a light's
// line is left off.
void frmUSB_Main::loadMoreSettings() {
    const config::MoreSettingsLoad load =
        config::loadMoreSettings(config::moreSettingsPathFor(programFolder_));
    moreSettings = load.settings;
    moreSettingsProblems = load.problems;
    const QString clash =
        config::moreSettingsProblem(moreSettings, config::OutputLines{Gate, Red, Orange, Green});
    if (!clash.isEmpty()) {
        moreSettings.startPulseLine = config::No_Start_Pulse;
        moreSettingsProblems << clash + QStringLiteral(" The start pulse is off.");
    }
}

config::LineRoles frmUSB_Main::lineRoles() const {
    return config::LineRoles::fromSettings(Gate, Red, Orange, Green, Start_Button, Finish_Beam);
}

QString frmUSB_Main::settingsReport() const {
    QStringList said;
    said << config::loadReport(settingsLoad, config::configPathFor(programFolder_))
         << config::sharedOutputLines(Gate, Red, Orange, Green);
    if (!moreSettingsProblems.isEmpty())
        said << QStringLiteral("In %1: %2")
                    .arg(QDir::toNativeSeparators(config::moreSettingsPathFor(programFolder_)),
                         moreSettingsProblems.join(QLatin1Char(' ')));
    // Read here, once at start-up: each check reads the file again anyway.
    said << passwords::passwordsReport(passwords::passwordsPathFor(programFolder_));
    said.removeAll(QString());
    return said.join(QStringLiteral("\n\n"));
}

StartSettings frmUSB_Main::startSettings() const {
    StartSettings settings;
    settings.beepIntervalMs = HScroll1->value();
    for (int i = 0; i < int(Gate_timing.size()); ++i) {
        if (Gate_timing[std::size_t(i)]->isChecked())
            settings.gateTiming = i;
    }
    settings.lines = {Gate, Red, Orange, Green};
    settings.startButtonMask = Start_Button;
    settings.finishBeamMask = Finish_Beam;
    settings.randomStart = moreSettings.randomStart;
    settings.pulseLine = moreSettings.startPulseLine;
    settings.pulseMs = moreSettings.startPulseMs;
    return settings;
}

// A start takes them when it begins: one under way keeps its own.
void frmUSB_Main::pushSettings() {
    startSequence.setSettings(startSettings());
}

// No file is written on this thread from "OK riders" to the ready state: a save asked
// for meanwhile is made when the start is over.
bool frmUSB_Main::Save_Settings_File() {
    if (startSequence.running()) {
        saveWhenStartIsOver_ = true;
        return true;
    }
    saveWhenStartIsOver_ = false;
    return saveSettingsNow();
}

// Writes the values in force now. The file is replaced in one step: a save that fails
// leaves the previous file whole, and says so. A file that did not load whole is kept
// aside first, and that copy goes again when the save fails, so failed saves leave no
// pile of copies.
bool frmUSB_Main::saveSettingsNow() {
    const QString path = config::configPathFor(programFolder_);
    std::optional<QString> kept;
    if (settingsLoad.kind != LoadOutcome::Kind::Whole) {
        kept = keepPreviousFile(path);
        if (!kept) {
            reportSaveFailure(path);
            return false;
        }
    }
    config::SettingsRecord record;
    record.beepSpeed = qint16(HScroll1->value());
    record.gateTiming = qint16(startSettings().gateTiming.value_or(0));
    record.raceTimePanel = Veiw_Timer->isChecked();
    record.gate = Gate;
    record.red = Red;
    record.orange = Orange;
    record.green = Green;
    record.startButtonLine = config::maskToPin(Start_Button);
    record.finishBeamLine = config::maskToPin(Finish_Beam);
    if (!config::saveConfigAtomically(path, config::writeConfig(record))) {
        if (kept && !kept->isEmpty())
            QFile::remove(*kept);
        reportSaveFailure(path);
        return false;
    }
    // Once saved, the file holds what the window holds: a later save keeps no copy.
    settingsLoad = {LoadOutcome::Kind::Whole};
    return true;
}

void frmUSB_Main::HScroll1_Change() {
    Beep_time_label->setText(QString::number(HScroll1->value()));
    pushSettings();
}

void frmUSB_Main::Gate_timing_Click(int index) {
    for (int i = 0; i < int(Gate_timing.size()); ++i)
        Gate_timing[std::size_t(i)]->setChecked(i == index);
    pushSettings();
}

void frmUSB_Main::Save_Settings_Click() {
    Save_Settings_File();
}

// The menu item has flipped its own check mark; the panel follows it.
void frmUSB_Main::Veiw_Timer_Click() {
    Frame2->setVisible(Veiw_Timer->isChecked());
    Save_Settings_File();
}

} // namespace korvane
