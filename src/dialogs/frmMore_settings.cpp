#include "dialogs/frmMore_settings.h"

#include "app/design_font.h"
#include "app/message_box.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>

namespace korvane {

namespace {

const QString Caption = QStringLiteral("More settings");

// The pulse-line list: "Off" first, then port A's lines in order.
int lineItem(qint16 line) {
    return line == config::No_Start_Pulse ? 0 : line + 1;
}

} // namespace

frmMore_settings::frmMore_settings(QString settingsPath, config::OutputLines outputs,
                                   QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , settingsPath_(std::move(settingsPath))
    , outputs_(outputs) {
    setWindowTitle(Caption);
    setFont(arial());
    Build_Controls();
    Wire_Events();
}

void frmMore_settings::Build_Controls() {
    setFixedSize(340, 138);
    Random_start =
        new QCheckBox(QStringLiteral("&Random start (0.1 to 2.7 s before the first light)"), this);
    Random_start->setGeometry(12, 12, 316, 20);

    Pulse_line_label = new QLabel(QStringLiteral("Start &pulse:"), this);
    Pulse_line_label->setGeometry(12, 47, 84, 17);
    Pulse_line = new QComboBox(this);
    Pulse_line->setGeometry(100, 43, 130, 23);
    Pulse_line->addItem(QStringLiteral("Off"));
    for (int line = 0; line <= config::Last_Port_A_Line; ++line)
        Pulse_line->addItem(QStringLiteral("Port A line %1").arg(line));
    Pulse_line_label->setBuddy(Pulse_line);

    Pulse_length_label = new QLabel(QStringLiteral("Pulse &length:"), this);
    Pulse_length_label->setGeometry(12, 79, 84, 17);
    Pulse_length = new QSpinBox(this);
    Pulse_length->setGeometry(100, 75, 90, 23);
    Pulse_length->setRange(config::Start_Pulse_Ms_Min, config::Start_Pulse_Ms_Max);
    Pulse_length->setSingleStep(10);
    Pulse_length->setSuffix(QStringLiteral(" ms"));
    Pulse_length_label->setBuddy(Pulse_length);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(164, 106, 76, 26);
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(252, 106, 76, 26);
}

void frmMore_settings::Wire_Events() {
    connect(cmdOK, &QPushButton::clicked, this, &frmMore_settings::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmMore_settings::cmdCancel_Click);
}

// What the file holds now; a damaged file shows what stands in for it (off, defaults).
void frmMore_settings::Form_Load() {
    const config::MoreSettings settings = config::loadMoreSettings(settingsPath_).settings;
    Random_start->setChecked(settings.randomStart);
    Pulse_line->setCurrentIndex(lineItem(settings.startPulseLine));
    Pulse_length->setValue(settings.startPulseMs);
}

config::MoreSettings frmMore_settings::Chosen_Settings() const {
    const int item = Pulse_line->currentIndex();
    return {Random_start->isChecked(), item <= 0 ? config::No_Start_Pulse : qint16(item - 1),
            Pulse_length->value()};
}

void frmMore_settings::cmdOK_Click() {
    const config::MoreSettings chosen = Chosen_Settings();
    QString problem = config::moreSettingsProblem(chosen, outputs_);
    if (problem.isEmpty() && !config::saveMoreSettings(settingsPath_, chosen))
        problem = QStringLiteral("The settings could not be saved to %1. The file is as it was.")
                      .arg(QDir::toNativeSeparators(settingsPath_));
    if (!problem.isEmpty()) {
        showMessage(this, {problem, Caption, MessageIcon::Warning});
        return;
    }
    emit Settings_Saved(chosen);
    accept();
}

void frmMore_settings::cmdCancel_Click() {
    reject();
}

// A window that comes back from being minimised keeps what is being chosen.
void frmMore_settings::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        Form_Load();
    QDialog::showEvent(event);
}

} // namespace korvane
