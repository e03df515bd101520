#include "dialogs/administrator.h"

#include "app/frmUSB_Main.h"

#include <QAction>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

namespace korvane {

void setAdministrator(frmUSB_Main& main, bool loggedIn) {
    main.Debug_io->setEnabled(loggedIn);
    main.More_settings->setEnabled(loggedIn);
    main.Passwords->setEnabled(loggedIn);
    for (QRadioButton* option : main.Gate_timing)
        option->setEnabled(loggedIn);
    main.HScroll1->setEnabled(loggedIn);
    main.Save_Settings->setVisible(loggedIn);
    main.Log_In->setText(loggedIn ? Logged_In_Caption : Logged_Out_Caption);
}

} // namespace korvane
