#pragma once

#include "io/module_link.h"
#include "sequence/start_log.h"
#include "sequence/start_sequence.h"
#include "sequence/step_timing.h"
#include "settings/config_file.h"
#include "settings/line_roles.h"
#include "settings/more_settings.h"
#include "sound/player.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QScrollBar;

namespace korvane {

class Lamp;
class frmAbout;
class frmDebug_window;
class frmLogin;
class frmLogout;
class MoreSettingsDialog;
class PasswordsDialog;
class StartLogDialog;

// The operator's console. It shows a start (StartSequence holds it) and the module's link
// (ModuleLink, on a thread of its own), forwards the operator's clicks and the module's
// events to them, and keeps the settings. The controls, timers and handlers keep the
// original program's names; they are public, as the other windows and the tests work
// with them directly.
class frmUSB_Main : public QMainWindow {
    Q_OBJECT
public:
    // `programFolder` holds config.dat; sounds are looked up in the working folder.
    frmUSB_Main(PortCatalog catalog, std::unique_ptr<SoundPlayer> sound, QString programFolder,
                QWidget* parent = nullptr, LinkEngine::Timing linkTiming = {});
    ~frmUSB_Main() override;

    // --- Start-up, the ready state and what the window shows: src/app/frmUSB_Main.cpp
    void Form_Load();
    void Set_Ready_State();
    // Shows the start as the model says: caption, lamps, Abort, the race-time panel.
    void render();

    // --- The module's link: src/io/frmUSB_Main_io.cpp
    // Start-up discovery: waits for the first scan of every port (the window is locked
    // meanwhile); the link engine looks on by itself after that.
    bool Find_Controller();
    bool Write_Port_A(quint8 value);
    // "Read Timeout", one at a time: a failure while it is open is not told again.
    void reportReadTimeout();
    void showLinkState();

    // --- A start: src/sequence/frmUSB_Main_sequence.cpp. The handlers forward to the
    // model; each timer runs its step.
    void Window_start_button_Click();
    void Gate_up_timer_Timer();
    void Riders_ready_Timer();
    void Watch_the_gate_Timer();
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
    void Timer4_Timer();
    void Restart_Delay_Timer();
    void Race_timer_Timer(); // no finish within the race limit
    void startPulseEnd();    // the start pulse ends
    // Calls the start off, from the spoken cadence until the drop. The Esc key does the same.
    void abortClick();
    // The start's record into the log; the window says so while it cannot be written.
    void logStart(const startlog::StartRecord& record);

    // --- Sound: src/sound/frmUSB_Main_sound.cpp
    void prepareStartSounds();
    // The sound line: shown while the riders would not hear the start as recorded.
    void showSoundState();
    // What the start-up message says of the start sounds; empty when all are usable.
    QString soundReport();
    // Options > "Test sound": the start tone and a voice call, and where they went.
    void testSound();

    // --- Settings: src/settings/frmUSB_Main_settings.cpp
    void Load_Settings();
    // What the last load made of config.dat; a save that replaces a file that did not
    // load whole keeps a copy of it first.
    config::LoadOutcome settingsLoad;
    // What the operator is told at start-up about the settings: a file that did not load
    // whole, outputs that share a line, passwords that went back to their original.
    // Empty when there is nothing to tell.
    QString settingsReport() const;
    void loadMoreSettings();
    // What each module line is wired to, as the settings in force say.
    config::LineRoles lineRoles() const;
    // The settings a start would begin with now; pushSettings() hands them to the start
    // model, which takes them when a start begins.
    StartSettings startSettings() const;
    void pushSettings();
    // Saves config.dat now, or when the start under way is over: no file is written on
    // this thread while a start runs. False when a save now failed (and was told).
    bool Save_Settings_File();
    void HScroll1_Change();
    void Gate_timing_Click(int index);
    void Save_Settings_Click();
    void Veiw_Timer_Click();
    config::MoreSettings moreSettings; // random start and the start pulse
    QStringList moreSettingsProblems;  // what the start-up message says of more-settings.ini

    // --- Administrator, dialogs and the way out: src/dialogs/frmUSB_Main_dialogs.cpp
    void Log_In_Click();
    void Debug_io_Click();
    void About_Click();
    void Exit_Click();
    void moreSettingsClick();
    void startLogClick();
    void passwordsClick();
    // Unlocks (or locks) the settings controls and the administrator's menu items.
    void setAdministrator(bool on);
    bool administrator() const { return administrator_; }
    // Closes the program in order: the start's record, the port, the sound, the log.
    void endInOrder();

    // --- Controls (layout in src/app/frmUSB_Main.cpp). The names are the original's.
    QPushButton* Window_start_button = nullptr; // the start button
    QGroupBox* Frame3 = nullptr;                // "Gate timing  selection": lamps and options
    std::array<QLabel*, 5> Label2{};            // "Gate ", "Beep 1" .. "Beep 4" beside the lamps
    std::array<Lamp*, 5> Shape1{};              // 0 red, 1 orange, 2 green, 3 second green, 4 gate
    std::array<QRadioButton*, 4> Gate_timing{}; // the beep the gate drops on
    QGroupBox* Frame1 = nullptr;                // "Beep Speed"
    QScrollBar* HScroll1 = nullptr;             // the beep interval, 100 to 500 ms
    QLabel* Beep_time_label = nullptr;          // the bar's value
    QLabel* Label1 = nullptr;                   // "ms"
    QGroupBox* Frame2 = nullptr;                // the race-time panel
    QLabel* Time_seconds = nullptr;             // the race time shown
    QLabel* Label4 = nullptr;                   // "Race Time  (seconds)"
    QPushButton* Save_Settings = nullptr;       // writes config.dat; administrator only
    QFrame* Line1 = nullptr;                    // the rule under the menu bar
    // Korvane's own
    QPushButton* abortButton = nullptr; // shown while a start can be called off
    QLabel* linkStatus = nullptr;       // the module not reachable, or its replies garbled
    QLabel* soundStatus = nullptr;      // the riders would not hear a start
    QLabel* logStatus = nullptr;        // starts cannot be logged

    // --- Menus
    QAction* Log_In = nullptr;     // "Log In" / "Log Out"
    QAction* Debug_io = nullptr;   // the I/O debug window; administrator only
    QAction* Veiw_Timer = nullptr; // shows or hides the race-time panel (sic)
    QAction* About = nullptr;
    QAction* Exit = nullptr;             // asks for the exit password
    QAction* moreSettingsItem = nullptr; // Admin: random start and the start pulse
    QAction* passwordsItem = nullptr;    // Admin: sets the log-in and exit passwords
    QAction* startLogItem = nullptr;     // Options: the recent starts
    QAction* testSoundItem = nullptr;    // Options: "Test sound", at rest only

    // --- The link to the I/O module (the original's serial control)
    ModuleLink MSComm1;

    // --- Timers of a start, each running its step (enabled = running)
    QTimer Gate_up_timer;  // the 4 s hold-off after the gate goes up
    QTimer Riders_ready;   // 3.6 s after "OK riders" (again every 3.6 s while held)
    QTimer Watch_the_gate; // 1 s later: "Watch the gate"
    QTimer Timer1;         // beeps 1 to 4, one beep interval apart
    QTimer Timer2;
    QTimer Timer3;
    QTimer Timer4;
    QTimer Restart_Delay;   // the ready state, 10 s after the last beep
    QTimer Race_timer;      // the race limit: no finish seen 120 s after the drop
    QTimer startPulseTimer; // ends the start pulse
    // Runs each of them at its due time, to the millisecond.
    StepTiming stepsOnTime;

    // --- The start
    StartSequence startSequence;

    // --- Window variables: the outputs' lines and the inputs' masks from config.dat
    qint16 Gate = 0;
    qint16 Red = 0;
    qint16 Orange = 0;
    qint16 Green = 0;
    qint16 Start_Button = 0; // bit mask within the port-B byte
    qint16 Finish_Beam = 0;  // bit mask within the port-B byte

    // --- Secondary windows, each at most once
    QPointer<frmLogin> loginDialog;
    QPointer<frmLogout> logoutDialog;
    QPointer<frmAbout> aboutBox;
    QPointer<frmDebug_window> debugWindow;
    QPointer<MoreSettingsDialog> moreSettingsWindow;
    QPointer<StartLogDialog> startLogWindow;
    QPointer<PasswordsDialog> passwordsWindow;

    // Ends the program; tests replace it.
    std::function<void()> endProgram;

    SoundPlayer& sound() { return *sound_; }
    const QString& programFolder() const { return programFolder_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void buildTimers();
    void wireEvents();
    void wireLink();
    void moduleReady(quint8 portA);
    QString noControllerMessage(const QStringList& denied) const;
    config::LoadOutcome readSettingsFile();
    bool saveSettingsNow();

    std::unique_ptr<SoundPlayer> sound_;
    QString programFolder_;
    bool administrator_ = false;
    bool loading_ = false; // the load handler has not returned yet
    bool readTimeoutShowing_ = false;
    bool garbled_ = false;
    bool saveWhenStartIsOver_ = false;
    QStringList deniedPorts_;
};

} // namespace korvane
