#include "dialogs/frmLogout.h"

#include "app/frmUSB_Main.h"

#include <QLineEdit>

namespace korvane {

namespace {
const QString Exit_Password = QStringLiteral("QMWZ");
}

frmLogout::frmLogout(frmUSB_Main& main)
    : Password_Dialog(QStringLiteral("Log out"), &main)
    , main_(main) {}

void frmLogout::cmdOK_Click() {
    if (!Password_Matches(Exit_Password)) {
        Wrong_Password();
        return;
    }
    txtPassword->clear();
    LogoutSucceeded = true;
    hide();
    // The outputs stay as they are; nothing else goes to the module.
    main_.endProgram();
}

void frmLogout::cmdCancel_Click() {
    LogoutSucceeded = false;
    Empty_And_Hide();
}

} // namespace korvane
