// Start triggers, the spoken cadence, the light and tone steps and the gate drop.
//
// A start is a chain of one-shot window timers: each tick performs its step, disables
// its own timer and enables the next. The caption of the start button is the state of
// the trigger machine.
//
// From the drop to the finish Race_timer watches the finish beam on port B. Each tick
// is one read transaction, which blocks this thread for its round trip: well under
// 0.1 ms on the virtual module; on the real module at least 2.1 ms on the wire at 9600
// baud plus the USB-serial adapter's latency, 1 ms to 16 ms. A tick every 10 ms matches
// the panel's hundredths and leaves the thread free most of the time with a typical
// adapter; with the slowest the reads follow each other, and the event loop still
// turns between every two of them.
#include "app/frmUSB_Main.h"

#include "app/lamp.h"
#include "dialogs/administrator.h"
#include "sequence/clocks.h"
#include "sequence/race_clock.h"
#include "sequence/random_delay.h"
#include "sequence/start_sounds.h"
#include "sequence/trigger_table.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

namespace korvane {

namespace {

constexpr int Poll_Wait_Ms = 100;
constexpr char Start_Button_Port = 'b';
constexpr char Finish_Beam_Port = 'b';
constexpr int Race_Tick_Ms = 10;
// A race read fails after the same wait as the poll's, so a slow adapter never raises
// "Read Timeout" in one and not in the other.
constexpr int Race_Read_Wait_Ms = Poll_Wait_Ms;
// A read of the start-button poll or of the race may block for its whole wait; it is
// not begun when a step of the start falls due sooner than that (plus a little for the
// write and the wake-up), so no read delays a beep or the ready state.
constexpr int Step_Margin_Ms = Race_Read_Wait_Ms + 5;
constexpr int Second_Green_Lamp = 3;
constexpr int Gate_Lamp = 4;
constexpr int Start_Lamps = 4; // Shape1(0) to Shape1(3)

using OutputOperation = bool (frmUSB_Main::*)();

void raiseGate(frmUSB_Main& w) {
    // The lamp and the caption show a raised gate only when the command went out.
    if (!w.Gate_Up())
        return;
    w.Window_start_button->setText(caption::Start);
    // The first sound is at least the hold-off away: time to wake the output and read
    // every file that changed.
    w.sound().wake();
    w.prepareStartSounds();
    w.testSoundItem->setEnabled(false);
    w.Shape1[Gate_Lamp]->setLit(true);
    setTimerEnabled(w.Gate_up_timer, true);
    // Locked for the hold-off: a start cannot follow the gate by less than 4 s.
    w.Window_start_button->setEnabled(false);
}

void dropGate(frmUSB_Main& w) {
    w.Shape1[Gate_Lamp]->setLit(false);
    w.Gate_Down();
    w.Abort_button->setVisible(false); // the riders are away: nothing to call off
    w.Race_Start = w.Race_Clock();
    // After the drop's own command, so the drop is never later for it.
    if (w.More_Settings.startPulseOn() && w.Start_Pulse_On())
        w.Start_pulse_timer.start(w.More_Settings.startPulseMs);
    w.Note_Drop();
    // Without a finish-beam line there is nothing to watch: no race time is taken.
    if (w.Finish_Beam == 0)
        return;
    w.Finish_Beam_Seen_Clear = false;
    w.Race_timer.setInterval(Race_Tick_Ms);
    setTimerEnabled(w.Race_timer, true);
}

void endRace(frmUSB_Main& w, const QString& shown) {
    setTimerEnabled(w.Race_timer, false);
    w.Time_seconds->setText(shown);
    w.Note_Race_End();
}

// Every exchange with the module ends within its handler, so a byte waiting between
// handlers is a reply that came after its read had given up, or noise. Taken for the
// next reply, it would be a sample from the past or a finish that never happened.
void discardStrayBytes(SerialLink& link) {
    if (link.isOpen() && link.bytesWaiting() > 0)
        link.readAllWaiting();
}

// Gate timing option k drops the gate at beep k + 1.
void dropGateIfSelected(frmUSB_Main& w, int beep) {
    if (w.Gate_timing[beep - 1]->isChecked())
        dropGate(w);
}

void applyTrigger(frmUSB_Main& w, TriggerAction action) {
    QPushButton& button = *w.Window_start_button;
    switch (action) {
    case TriggerAction::None:
        return;
    case TriggerAction::RaiseGate:
        raiseGate(w);
        return;
    case TriggerAction::StartCadence:
        // Without the module a start would run its cadence with no lights and no drop.
        if (!w.MSComm1.isOpen())
            return;
        button.setText(caption::Delay);
        w.Start_Cadence();
        return;
    case TriggerAction::HoldOnScreen:
        w.Delayed = true;
        w.Note_Hold(true);
        button.setText(caption::Click_To_Continue);
        return; // the button stays enabled: the next click releases
    case TriggerAction::HoldExternally:
        w.Delayed = true;
        w.Note_Hold(true);
        button.setText(caption::Delayed_Externally);
        button.setEnabled(false); // only letting go of the external button releases
        return;
    case TriggerAction::ReleaseOnScreen:
    case TriggerAction::ReleaseExternal:
        w.Delayed = false;
        w.Note_Hold(false);
        button.setEnabled(false); // no second hold: the cadence resumes at its next tick
        return;
    }
}

// Beeps 1 to 3, in the order of their columns: lamps, timers, lights, tone, and the
// drop last, so that the tone begins just before the gate falls.
void beepStep(frmUSB_Main& w, int beep, QTimer& own, QTimer& next, OutputOperation lightOff,
              OutputOperation lightOn) {
    const int lamp = beep - 1;
    if (lamp > 0)
        w.Shape1[lamp - 1]->setLit(false);
    w.Steps_On_Time.arm(next);
    setTimerEnabled(own, false);
    if (lightOff)
        (w.*lightOff)();
    // A lamp lights only for a light that was switched on.
    w.Shape1[lamp]->setLit((w.*lightOn)());
    w.playStartSound(start_sounds::Beep_Tone);
    dropGateIfSelected(w, beep);
}

} // namespace

bool frmUSB_Main::Start_Step_Due_Within(int ms, bool withRidersReady) const {
    const auto due = [ms](const QTimer& step) {
        return step.isActive() && step.remainingTime() <= ms;
    };
    if (withRidersReady && due(Riders_ready))
        return true;
    for (const QTimer* step :
         {&Watch_the_gate, &Timer1, &Timer2, &Timer3, &Timer4, &Restart_Delay}) {
        if (due(*step))
            return true;
    }
    return false;
}

void frmUSB_Main::Window_start_button_Click() {
    applyTrigger(*this, triggerAction(Window_start_button->text(), Trigger::ScreenClick, false,
                                      Window_start_button->isEnabled()));
}

void frmUSB_Main::Polling_start_input_Timer() {
    // Discovery lets ticks through while it waits; the link is not the poll's until
    // the load handler has returned.
    if (Loading_)
        return;
    // The read may block for its whole wait: it never goes out when "Watch the gate", a
    // beep or the ready state is due sooner. From the riders-ready call to the ready state
    // the external button can do nothing anyway (the start button is locked), so no
    // press is missed; the riders-ready tick itself is not guarded, so a hold just
    // before it is still seen.
    if (Start_Step_Due_Within(Step_Margin_Ms, false))
        return;
    const std::optional<quint8> portB = Read_Port(Start_Button_Port, Poll_Wait_Ms);
    if (!portB)
        return; // the failure has been reported (or the link is closed): state unchanged
    const bool lineHigh = (*portB & Start_Button) != 0;
    applyTrigger(*this, triggerAction(Window_start_button->text(), Trigger::ExternalPoll, lineHigh,
                                      Window_start_button->isEnabled()));
}

void frmUSB_Main::Gate_up_timer_Timer() {
    // Without the module the button stays locked until it is back.
    Window_start_button->setEnabled(MSComm1.isOpen());
    setTimerEnabled(Gate_up_timer, false);
}

void frmUSB_Main::Start_Cadence() {
    Race_Start = 0;
    Race_End = 0;
    Race_time = 0;
    // A race still being watched is given up: the panel belongs to the new start.
    setTimerEnabled(Race_timer, false);
    Time_seconds->clear();
    // The gate timing cannot change during a start; the ready state gives the options
    // back to an administrator.
    for (QRadioButton* option : Gate_timing)
        option->setEnabled(false);
    for (int i = 0; i < Start_Lamps; ++i)
        Shape1[i]->setLit(false);
    Shape1[Gate_Lamp]->setLit(true);
    for (QTimer* timer : {&Timer1, &Timer2, &Timer3, &Timer4, &Riders_ready, &Watch_the_gate})
        setTimerEnabled(*timer, false);
    // Read once: moving the bar during the start does not change its beeps.
    const int beepInterval = HScroll1->value();
    for (QTimer* timer : {&Timer1, &Timer2, &Timer3, &Timer4})
        timer->setInterval(beepInterval);
    // Drawn now and shown to nobody: it is logged after the start.
    Random_Delay_Ms = More_Settings.randomStart ? drawRandomDelayMs() : 0;
    soundWithoutOutput_ = false;
    standInSounds_.clear();
    playStartSound(start_sounds::Ok_Riders);
    Steps_On_Time.arm(Riders_ready);
    // After the first call and the first step are on their way: logging the start before
    // writes to disk.
    Begin_Start_Record(beepInterval);
    Abort_button->setVisible(true);
}

void frmUSB_Main::Riders_ready_Timer() {
    // While held the timer keeps running: the cadence resumes at its first tick after
    // the release.
    if (Delayed)
        return;
    Announce_Riders_Ready();
}

void frmUSB_Main::Announce_Riders_Ready() {
    Window_start_button->setEnabled(false); // no hold is possible from here on
    playStartSound(start_sounds::Riders_Ready);
    setTimerEnabled(Riders_ready, false);
    Steps_On_Time.arm(Watch_the_gate);
}

void frmUSB_Main::Watch_the_gate_Timer() {
    // Blocks until the call has ended, so the first beep comes one beep interval after
    // its end, however long the recording is.
    playStartSound(start_sounds::Watch_The_Gate, true);
    setTimerEnabled(Watch_the_gate, false);
    // A random start's delay stands for the beep interval before the first light.
    if (Random_Delay_Ms > 0)
        Timer1.setInterval(Random_Delay_Ms);
    Steps_On_Time.arm(Timer1);
}

void frmUSB_Main::Timer1_Timer() {
    beepStep(*this, 1, Timer1, Timer2, nullptr, &frmUSB_Main::Red_On);
}

void frmUSB_Main::Timer2_Timer() {
    beepStep(*this, 2, Timer2, Timer3, &frmUSB_Main::Red_Off, &frmUSB_Main::Orange_On);
}

void frmUSB_Main::Timer3_Timer() {
    beepStep(*this, 3, Timer3, Timer4, &frmUSB_Main::Orange_Off, &frmUSB_Main::Green_On);
}

void frmUSB_Main::Timer4_Timer() {
    // Unlike beeps 1 to 3: the gate drops before the long tone starts, and the timer
    // disables itself last. Green is switched on again and the first green lamp stays
    // lit, so both green lamps shine until the ready state.
    Shape1[Second_Green_Lamp]->setLit(Green_On());
    Steps_On_Time.arm(Restart_Delay);
    dropGateIfSelected(*this, 4);
    playStartSound(start_sounds::Long_Tone);
    setTimerEnabled(Timer4, false);
    Abort_button->setVisible(false); // without a drop the last beep ends what can be called off
}

void frmUSB_Main::Abort_button_Click() {
    // Shown from the cadence's first call to the drop: at any other time there is
    // nothing to call off.
    if (Abort_button->isHidden())
        return;
    Abort_button->setVisible(false);
    for (QTimer* step : {&Riders_ready, &Watch_the_gate, &Timer1, &Timer2, &Timer3, &Timer4})
        setTimerEnabled(*step, false);
    sound().stop();
    Delayed = false;
    // A light wired to the gate's line is left on: switching it off would drop the gate.
    const std::pair<qint16, OutputOperation> lights[] = {{Red, &frmUSB_Main::Red_Off},
                                                         {Orange, &frmUSB_Main::Orange_Off},
                                                         {Green, &frmUSB_Main::Green_Off}};
    for (const auto& [line, off] : lights) {
        if (line != Gate)
            (this->*off)();
    }
    for (int i = 0; i < Start_Lamps; ++i)
        Shape1[i]->setLit(false);
    Shape1[Gate_Lamp]->setLit(true);
    Window_start_button->setText(caption::Start);
    Window_start_button->setEnabled(MSComm1.isOpen());
    if (Log_In->text() == Logged_In_Caption) {
        for (QRadioButton* option : Gate_timing)
            option->setEnabled(true);
    }
    Write_Start_Record(true);
}

void frmUSB_Main::Start_pulse_timer_Timer() {
    setTimerEnabled(Start_pulse_timer, false);
    Start_Pulse_Off();
}

void frmUSB_Main::Race_timer_Timer() {
    // Taken before the read goes out, as Race_Start is taken after "L" went out: the
    // module samples the beam and drops the gate as each command arrives, so both ends
    // carry the same delay on the link. The difference is right across the wrap of the
    // 32-bit count.
    const quint32 now = Race_Clock();
    if (now - Race_Start >= quint32(Race_Limit_Ms)) {
        endRace(*this, race::No_Finish);
        return;
    }
    if (Start_Step_Due_Within(Step_Margin_Ms))
        return;
    discardStrayBytes(MSComm1);
    // A failed race read opens no box: a modal box would stop the operator's start
    // button. The next tick reads again; no finish seen by the limit is "--.--".
    const std::optional<quint8> portB =
        Read_Port(Finish_Beam_Port, Race_Read_Wait_Ms, On_Failure::Stay_Silent);
    if (!portB)
        return;
    if ((*portB & Finish_Beam) == 0) {
        Finish_Beam_Seen_Clear = true;
        return;
    }
    // A beam broken since before the drop (someone in it, a fallen bike) is no finish.
    if (!Finish_Beam_Seen_Clear)
        return;
    Race_End = now;
    Race_time = qint32(Race_End - Race_Start);
    endRace(*this, race::raceTimeText(Race_time));
}

} // namespace korvane
