// The administrator's menu, the secondary windows and the way out.
#include "app/frmUSB_Main.h"

#include <QCloseEvent>

namespace korvane {

void frmUSB_Main::Log_In_Click() {}
void frmUSB_Main::Debug_io_Click() {}
void frmUSB_Main::About_Click() {}
void frmUSB_Main::Exit_Click() {}
void frmUSB_Main::closeEvent(QCloseEvent* event) {
    event->ignore();
}

} // namespace korvane
