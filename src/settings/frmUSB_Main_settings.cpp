// The settings record on the main window: config.dat and the settings controls.
#include "app/frmUSB_Main.h"

#include "settings/config_file.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QScrollBar>

namespace korvane {

namespace {

// A real settings file is a few hundred bytes; more than this is junk and is read
// only as far as this.
constexpr qint64 Max_Config_Bytes = 1 << 20;

// The next line's value text, or nothing when the line is missing or has no apostrophe.
std::optional<QByteArray> Next_Value(config::FieldReader& reader) {
    const std::optional<QByteArray> field = reader.nextField();
    return field ? config::valueText(*field) : std::nullopt;
}

std::optional<qint16> Next_Number(config::FieldReader& reader) {
    const std::optional<QByteArray> value = Next_Value(reader);
    return value ? config::toInt16(*value) : std::nullopt;
}

// An output line number goes out as one byte, so only 0..255 is a line.
std::optional<qint16> Next_Output_Line(config::FieldReader& reader) {
    const std::optional<qint16> line = Next_Number(reader);
    return line && *line >= 0 && *line <= 255 ? line : std::nullopt;
}

std::optional<qint16> Next_Input_Mask(config::FieldReader& reader) {
    const std::optional<qint16> line = Next_Number(reader);
    return line ? config::pinToMask(*line) : std::nullopt;
}

} // namespace

// Each line takes effect at once; the first line that fails ends the load, so earlier
// lines stay applied and later values keep what they had. Nothing is reported.
void frmUSB_Main::Load_Settings() {
    const QString path = config::configPathFor(programFolder_);
    // Only a plain file: opening a pipe of that name would wait for a writer for ever.
    if (!QFileInfo(path).isFile())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    config::FieldReader reader(file.read(Max_Config_Bytes));
    file.close();

    const std::optional<qint16> beepSpeed = Next_Number(reader);
    if (!beepSpeed || *beepSpeed < HScroll1->minimum() || *beepSpeed > HScroll1->maximum())
        return;
    HScroll1->setValue(*beepSpeed);

    const std::optional<qint16> gateTiming = Next_Number(reader);
    if (!gateTiming || *gateTiming < 0 || *gateTiming > 3)
        return;
    Gate_timing[*gateTiming]->setChecked(true);

    const std::optional<QByteArray> panel = Next_Value(reader);
    if (!panel)
        return;
    if (*panel == "T" || *panel == "F") {
        Veiw_Timer->setChecked(*panel == "T");
        Frame2->setVisible(*panel == "T");
    }

    for (qint16* line : {&Gate, &Red, &Orange, &Green}) {
        const std::optional<qint16> value = Next_Output_Line(reader);
        if (!value)
            return;
        *line = *value;
    }
    for (qint16* mask : {&Start_Button, &Finish_Beam}) {
        const std::optional<qint16> value = Next_Input_Mask(reader);
        if (!value)
            return;
        *mask = *value;
    }
}

// Writes the values in force now, whether or not they were ever loaded. The file is
// replaced in one step: a save that fails leaves the previous file whole.
void frmUSB_Main::Save_Settings_File() {
    config::SettingsRecord record;
    record.beepSpeed = qint16(HScroll1->value());
    record.gateTiming = 0;
    for (int i = 0; i < int(Gate_timing.size()); ++i) {
        if (Gate_timing[i]->isChecked())
            record.gateTiming = qint16(i);
    }
    record.raceTimePanel = Veiw_Timer->isChecked();
    record.gate = Gate;
    record.red = Red;
    record.orange = Orange;
    record.green = Green;
    record.startButtonLine = config::maskToPin(Start_Button);
    record.finishBeamLine = config::maskToPin(Finish_Beam);
    config::saveConfigAtomically(config::configPathFor(programFolder_),
                                 config::writeConfig(record));
}

void frmUSB_Main::HScroll1_Change() {
    Beep_time_label->setText(QString::number(HScroll1->value()));
}

void frmUSB_Main::Gate_timing_Click(int index) {
    for (int i = 0; i < int(Gate_timing.size()); ++i)
        Gate_timing[i]->setChecked(i == index);
}

void frmUSB_Main::Save_Settings_Click() {
    Save_Settings_File();
}

void frmUSB_Main::Veiw_Timer_Click() {
    const bool show = !Veiw_Timer->isChecked();
    Veiw_Timer->setChecked(show);
    Frame2->setVisible(show);
    Save_Settings_File();
}

} // namespace korvane
