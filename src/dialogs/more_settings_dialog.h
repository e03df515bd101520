#pragma once

#include "settings/more_settings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace korvane {

// "More settings": random start and the start pulse, for the administrator. It works on
// more-settings.ini at `settingsPath` and knows config.dat's four output lines, so that
// a pulse on the gate's or a light's line is refused. Each showing reads the file again;
// OK saves and closes, Cancel (Esc, the close box) closes and leaves the file alone.
class MoreSettingsDialog : public QDialog {
    Q_OBJECT
public:
    MoreSettingsDialog(QString settingsPath, config::OutputLines outputs,
                       QWidget* parent = nullptr);

    void load();
    // Refuses a choice moreSettingsProblem() finds fault with, and a save that fails,
    // each with a message; the dialog then stays open with the choice as it was.
    void okClick();
    void cancelClick();

    // The settings the controls show now.
    config::MoreSettings chosenSettings() const;

    QCheckBox* randomStart = nullptr;
    QLabel* pulseLineLabel = nullptr;
    QComboBox* pulseLine = nullptr; // item 0 "Off", item n + 1 port A line n
    QLabel* pulseLengthLabel = nullptr;
    QSpinBox* pulseLength = nullptr; // milliseconds
    QPushButton* cmdOK = nullptr;    // default button: Enter
    QPushButton* cmdCancel = nullptr;

signals:
    // OK has saved these settings.
    void settingsSaved(const korvane::config::MoreSettings& settings);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void wireEvents();

    QString settingsPath_;
    config::OutputLines outputs_;
};

} // namespace korvane
