// The settings record on the main window: config.dat and the settings controls.
#include "app/frmUSB_Main.h"

#include <QLabel>
#include <QScrollBar>

namespace korvane {

void frmUSB_Main::Load_Settings() {}
void frmUSB_Main::Save_Settings_File() {}
void frmUSB_Main::HScroll1_Change() {
    Beep_time_label->setText(QString::number(HScroll1->value()));
}
void frmUSB_Main::Gate_timing_Click(int) {}
void frmUSB_Main::Save_Settings_Click() {}
void frmUSB_Main::Veiw_Timer_Click() {}

} // namespace korvane
