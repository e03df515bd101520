#include "dialogs/frmLogout.h"

#include "app/frmUSB_Main.h"

#include <QLineEdit>

namespace korvane {

frmLogout::frmLogout(frmUSB_Main& main)
    : Password_Dialog(QStringLiteral("Log out"), passwords::Role::Exit,
                      passwords::passwordsPathFor(main.programFolder()), &main)
    , main_(main) {}

void frmLogout::rightPassword() {
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
