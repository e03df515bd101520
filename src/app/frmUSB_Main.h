#pragma once

#include "io/module_finder.h"
#include "io/serial_link.h"
#include "sequence/clocks.h"
#include "sequence/start_log.h"
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
class frmMore_settings;
class frmPasswords;
class frmStart_log;

// The operator's console and the owner of everything that lives for the whole run:
// the link to the I/O module, the start button, lamps, settings controls, menus and
// every timer of a start. Controls, timers and window variables are public members,
// as the other windows and the tests work with them directly.
class frmUSB_Main : public QMainWindow {
    Q_OBJECT
public:
    // `programFolder` holds config.dat; sounds are looked up in the working folder.
    frmUSB_Main(PortCatalog catalog, std::unique_ptr<SoundPlayer> sound, QString programFolder,
                QWidget* parent = nullptr);
    ~frmUSB_Main() override;

    // --- Start-up and ready state: src/app/frmUSB_Main.cpp
    void Form_Load();
    void Set_Ready_State();
    void Restart_Delay_Timer();

    // --- Module link, output operations and discovery: src/io/frmUSB_Main_io.cpp
    bool Find_Controller();
    // Brings a lost or never found module back: first the port it was on, then every
    // port every few seconds. Never blocks the window for more than a port's open.
    void Link_Retry_Timer();
    // What the window does when the link closes itself: see the definition.
    void Link_Lost();
    // The output operations; each says whether its command went out (false while
    // the link is closed).
    bool Gate_Up();
    bool Gate_Down();
    bool Red_On();
    bool Red_Off();
    bool Orange_On();
    bool Orange_Off();
    bool Green_On();
    bool Green_Off();
    bool Write_Port_A(quint8 value);
    // The start pulse for a timing system, on its own port-A line (more-settings.ini).
    bool Start_Pulse_On();
    bool Start_Pulse_Off();
    // The read transaction with the program's failure policy: a failure shows one
    // "Read Timeout" message; while it is open, further reported reads are skipped (no
    // message piles up). A closed link reads nothing and reports nothing.
    enum class On_Failure { Report, Stay_Silent };
    std::optional<quint8> Read_Port(char port, int waitMs,
                                    On_Failure onFailure = On_Failure::Report);
    // How long a read with this wait may hold the window: the whole wait after a read
    // that failed or was slow, otherwise a little more than the last round trip.
    int Read_Block_Bound_Ms(int waitMs) const;

    // --- Start sequence: src/sequence/frmUSB_Main_sequence.cpp
    void Window_start_button_Click();
    void Polling_start_input_Timer();
    void Gate_up_timer_Timer();
    void Start_Cadence();
    void Riders_ready_Timer();
    void Announce_Riders_Ready();
    void Watch_the_gate_Timer();
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer3_Timer();
    void Timer4_Timer();
    void Race_timer_Timer();
    // Calls the start off, from the spoken cadence until the drop: every timer of the
    // start and the sound stop, the lights go off, the gate stays up (the riders are
    // behind it) and the window is back at "Start". The Esc key does the same.
    void Abort_button_Click();
    // True when a timed step of a start falls due within `ms`: a read that may block the
    // window that long would make it late. The steps are the riders-ready call (left out
    // when `withRidersReady` is false), the "Watch the gate" call, the four beeps and the
    // ready state after them.
    bool Start_Step_Due_Within(int ms, bool withRidersReady = true) const;
    void Start_pulse_timer_Timer();
    // The additions' settings in force, read at start-up and changed by "More settings".
    config::MoreSettings More_Settings;
    // This start's random delay before the first light, in ms; 0 without random start.
    int Random_Delay_Ms = 0;

    // --- The start log: src/sequence/frmUSB_Main_start_log.cpp
    // The record of the start under way, noted step by step and written when it is over.
    void Begin_Start_Record(int beepInterval);
    void Note_Hold(bool held);
    void Note_Drop();
    void Note_Race_End();
    void Note_Ready_State();
    void Write_Start_Record(bool aborted);
    // How long after the drop the finish beam is watched for a race time.
    int Race_Limit_Ms = 120000;
    // The tick count both ends of a race are taken from; tests give their own.
    std::function<quint32()> Race_Clock = tickCount;
    // The beam has read clear since the drop: only a break after that finishes the race.
    bool Finish_Beam_Seen_Clear = false;

    // --- Settings: src/settings/frmUSB_Main_settings.cpp
    void Load_Settings();
    // What the last load made of config.dat; a save that replaces a file that did not
    // load whole keeps a copy of it first.
    config::LoadOutcome Settings_Load;
    // What the operator is told at start-up about the settings: a file that did not load
    // whole, outputs that share a line, passwords that went back to their original.
    // Empty when there is nothing to tell.
    QString Settings_Report() const;
    void Load_More_Settings();
    // What each module line is wired to, as the settings in force say.
    config::LineRoles Line_Roles() const;
    QStringList More_Settings_Problems; // what the start-up message says of more-settings.ini
    void Save_Settings_File();
    void HScroll1_Change();
    void Gate_timing_Click(int index);
    void Save_Settings_Click();
    void Veiw_Timer_Click();

    // --- Administrator, dialogs and the way out: src/dialogs/frmUSB_Main_dialogs.cpp
    void Log_In_Click();
    void Debug_io_Click();
    void About_Click();
    void Exit_Click();
    void More_settings_Click();
    void Start_log_Click();
    void Passwords_Click();

    // --- Controls (layout in src/app/frmUSB_Main.cpp). The names are the original
    // program's, kept so that anyone who knows it finds each piece (docs/architecture.md).
    QPushButton* Window_start_button = nullptr; // the start button; its caption is the state
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
    QLabel* Link_Status = nullptr;              // says so while the module is not reachable
    QPushButton* Abort_button = nullptr;        // shown while a start can be called off
    QLabel* Log_Status = nullptr;               // says so while starts cannot be logged

    // --- Menus
    QAction* Log_In = nullptr;        // "Log In" / "Log Out": its caption is the administrator mode
    QAction* Debug_io = nullptr;      // the I/O debug window; administrator only
    QAction* More_settings = nullptr; // Admin: random start and the start pulse
    QAction* Passwords = nullptr;     // Admin: sets the log-in and exit passwords
    QAction* Veiw_Timer = nullptr;    // shows or hides the race-time panel (sic)
    QAction* Start_log = nullptr;     // Options: the recent starts
    QAction* About = nullptr;
    QAction* Exit = nullptr; // asks for the exit password

    // --- The link to the I/O module (the original's serial control)
    SerialLink MSComm1;

    // --- Timers of a start (enabled = running)
    QTimer Polling_start_input; // reads the external start button every 500 ms
    QTimer Gate_up_timer;       // the 4 s hold-off after the gate goes up
    QTimer Riders_ready;        // 3.6 s after "OK riders": "Riders ready" (waits while held)
    QTimer Watch_the_gate;      // 1 s later: "Watch the gate"
    QTimer Timer1;              // beeps 1 to 4, one beep interval apart
    QTimer Timer2;
    QTimer Timer3;
    QTimer Timer4;
    QTimer Restart_Delay;     // the ready state, 10 s after the last beep
    QTimer Race_timer;        // reads the finish beam every 10 ms from the drop
    QTimer Link_Retry;        // runs while the link is closed
    QTimer Start_pulse_timer; // ends the start pulse
    // Runs "Riders ready", "Watch the gate", the beeps and the ready state at their due time.
    StepTiming Steps_On_Time;

    // --- Window variables
    bool Delayed = false;
    qint16 Gate = 0;
    qint16 Red = 0;
    qint16 Orange = 0;
    qint16 Green = 0;
    qint16 Start_Button = 0; // bit mask within the port-B byte
    qint16 Finish_Beam = 0;  // bit mask within the port-B byte
    quint32 Race_Start = 0;  // tick count of the gate drop, 0 until the drop
    quint32 Race_End = 0;
    qint32 Race_time = 0;

    // --- Secondary windows, each at most once
    QPointer<frmLogin> Login_Dialog;
    QPointer<frmLogout> Logout_Dialog;
    QPointer<frmAbout> About_Box;
    QPointer<frmDebug_window> Debug_Window;
    QPointer<frmMore_settings> More_Settings_Window;
    QPointer<frmStart_log> Start_Log_Window;
    QPointer<frmPasswords> Passwords_Window;

    // Ends the process at once; tests replace it.
    std::function<void()> End_Program;

    SoundPlayer& sound() { return *sound_; }
    const QString& programFolder() const { return programFolder_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Build_Controls();
    void Build_Menus();
    void Build_Timers();
    void Wire_Events();
    bool Send_Command(const QByteArray& command);
    QString No_Controller_Message() const;
    config::LoadOutcome Read_Settings_File();
    void Take_Link(int port);
    void Module_Back(int port);
    void Check_Gate_After_Recovery();
    void Show_Link_State();

    std::unique_ptr<SoundPlayer> sound_;
    QString programFolder_;
    ModuleFinder Finder_;   // discovery owns the link while it runs
    QString Module_Device_; // where the module last answered
    int Retry_Count_ = 0;
    bool Loading_ = false; // the load handler has not returned yet
    bool Read_Timeout_Showing_ = false;

    // The start log: the record of the start under way, written when it is over.
    std::optional<startlog::StartRecord> Start_Record_;
    quint32 Start_Tick_ = 0;        // tick count of the start press
    qint64 Hold_Since_Ns_ = -1;     // monotonic, while a hold lasts
    bool Start_Ready_Came_ = false; // its ready state has come; a race may still run
    bool Race_Ended_ = false;
    qint64 Last_Read_Ns_ = 0; // round trip of the last read
    bool Last_Read_Failed_ = false;
};

// Enables or disables a window timer. Enabling a running timer leaves it running.
void setTimerEnabled(QTimer& timer, bool enabled);

} // namespace korvane
