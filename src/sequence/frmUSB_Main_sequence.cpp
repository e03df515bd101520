// The window's side of a start: the original's handlers, each a thin call into the start
// model (sequence/start_sequence), and the start log. The model runs the start; the
// window's timers run its steps at their due time (stepsOnTime).
#include "app/frmUSB_Main.h"

#include "sequence/start_log.h"

#include <QLabel>

namespace korvane {

void frmUSB_Main::Window_start_button_Click() {
    startSequence.click();
}

void frmUSB_Main::Gate_up_timer_Timer() {
    startSequence.stepDue(StartStep::HoldOff);
}

void frmUSB_Main::Riders_ready_Timer() {
    startSequence.stepDue(StartStep::RidersReady);
}

void frmUSB_Main::Watch_the_gate_Timer() {
    startSequence.stepDue(StartStep::WatchTheGate);
}

void frmUSB_Main::Timer1_Timer() {
    startSequence.stepDue(StartStep::Beep1);
}

void frmUSB_Main::Timer2_Timer() {
    startSequence.stepDue(StartStep::Beep2);
}

void frmUSB_Main::Timer3_Timer() {
    startSequence.stepDue(StartStep::Beep3);
}

void frmUSB_Main::Timer4_Timer() {
    startSequence.stepDue(StartStep::Beep4);
}

void frmUSB_Main::Restart_Delay_Timer() {
    Set_Ready_State();
}

void frmUSB_Main::Race_timer_Timer() {
    startSequence.stepDue(StartStep::RaceLimit);
}

void frmUSB_Main::startPulseEnd() {
    startSequence.stepDue(StartStep::PulseEnd);
}

void frmUSB_Main::abortClick() {
    startSequence.abort();
}

// Written when the start is over (its ready state, or at once for an abort), and again
// when its race time comes later; a log that cannot be written never stops a start.
void frmUSB_Main::logStart(const startlog::StartRecord& record) {
    const QString path = startlog::startLogPathFor(programFolder_);
    const bool written = startlog::appendStart(path, record);
    logStatus->setText(QStringLiteral("Starts are not logged: %1 cannot be written.").arg(path));
    logStatus->setVisible(!written);
}

} // namespace korvane
