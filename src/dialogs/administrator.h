#pragma once

#include <QString>

namespace korvane {

class frmUSB_Main;

// The administrator mode has no flag of its own: it is the caption of the Log_In menu item.
inline const QString Logged_Out_Caption = QStringLiteral("Log In");
inline const QString Logged_In_Caption = QStringLiteral("Log Out");

// Unlocks (or locks) the settings controls and the Debug IO menu item and sets the caption,
// in this order: Debug_io, the four gate-timing options, HScroll1, Save_Settings, caption.
void setAdministrator(frmUSB_Main& main, bool loggedIn);

} // namespace korvane
