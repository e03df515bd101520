// Start triggers, the spoken cadence, the light and tone steps and the gate drop.
#include "app/frmUSB_Main.h"

namespace korvane {

void frmUSB_Main::Window_start_button_Click() {}
void frmUSB_Main::Polling_start_input_Timer() {}
void frmUSB_Main::Gate_up_timer_Timer() {}
void frmUSB_Main::Start_Cadence() {}
void frmUSB_Main::Riders_ready_Timer() {}
void frmUSB_Main::Announce_Riders_Ready() {}
void frmUSB_Main::Watch_the_gate_Timer() {}
void frmUSB_Main::Timer1_Timer() {}
void frmUSB_Main::Timer2_Timer() {}
void frmUSB_Main::Timer3_Timer() {}
void frmUSB_Main::Timer4_Timer() {}
void frmUSB_Main::Race_timer_Timer() {}

} // namespace korvane
