#include "dialogs/more_settings_dialog.h"

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

MoreSettingsDialog::MoreSettingsDialog(QString settingsPath, config::OutputLines outputs,
                                       QWidget* parent)
    : QDialog(parent, Fixed_Dialog_Flags)
    , settingsPath_(std::move(settingsPath))
    , outputs_(outputs) {
    setWindowTitle(Caption);
    setFont(arial());
    buildControls();
    wireEvents();
}

void MoreSettingsDialog::buildControls() {
    setFixedSize(340, 138);
    randomStart =
        new QCheckBox(QStringLiteral("&Random start (0.1 to 2.7 s before the first light)"), this);
    randomStart->setGeometry(12, 12, 316, 20);

    pulseLineLabel = new QLabel(QStringLiteral("Start &pulse:"), this);
    pulseLineLabel->setGeometry(12, 47, 84, 17);
    pulseLine = new QComboBox(this);
    pulseLine->setGeometry(100, 43, 130, 23);
    pulseLine->addItem(QStringLiteral("Off"));
    for (int line = 0; line <= config::Last_Port_A_Line; ++line)
        pulseLine->addItem(QStringLiteral("Port A line %1").arg(line));
    pulseLineLabel->setBuddy(pulseLine);

    pulseLengthLabel = new QLabel(QStringLiteral("Pulse &length:"), this);
    pulseLengthLabel->setGeometry(12, 79, 84, 17);
    pulseLength = new QSpinBox(this);
    pulseLength->setGeometry(100, 75, 90, 23);
    pulseLength->setRange(config::Start_Pulse_Ms_Min, config::Start_Pulse_Ms_Max);
    pulseLength->setSingleStep(10);
    pulseLength->setSuffix(QStringLiteral(" ms"));
    pulseLengthLabel->setBuddy(pulseLength);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(164, 106, 76, 26);
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(252, 106, 76, 26);
}

void MoreSettingsDialog::wireEvents() {
    connect(cmdOK, &QPushButton::clicked, this, &MoreSettingsDialog::okClick);
    connect(cmdCancel, &QPushButton::clicked, this, &MoreSettingsDialog::cancelClick);
}

// What the file holds now; a damaged file shows what stands in for it (off, defaults).
void MoreSettingsDialog::load() {
    const config::MoreSettings settings = config::loadMoreSettings(settingsPath_).settings;
    randomStart->setChecked(settings.randomStart);
    pulseLine->setCurrentIndex(lineItem(settings.startPulseLine));
    pulseLength->setValue(settings.startPulseMs);
}

config::MoreSettings MoreSettingsDialog::chosenSettings() const {
    const int item = pulseLine->currentIndex();
    return {randomStart->isChecked(), item <= 0 ? config::No_Start_Pulse : qint16(item - 1),
            pulseLength->value()};
}

void MoreSettingsDialog::okClick() {
    const config::MoreSettings chosen = chosenSettings();
    QString problem = config::moreSettingsProblem(chosen, outputs_);
    if (problem.isEmpty() && !config::saveMoreSettings(settingsPath_, chosen))
        problem = QStringLiteral("The settings could not be saved to %1. The file is as it was.")
                      .arg(QDir::toNativeSeparators(settingsPath_));
    if (!problem.isEmpty()) {
        showMessage(this, {problem, Caption, MessageIcon::Warning});
        return;
    }
    emit settingsSaved(chosen);
    accept();
}

void MoreSettingsDialog::cancelClick() {
    reject();
}

// A window that comes back from being minimised keeps what is being chosen.
void MoreSettingsDialog::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        load();
    QDialog::showEvent(event);
}

} // namespace korvane
