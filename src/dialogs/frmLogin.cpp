#include "dialogs/frmLogin.h"

#include "app/frmUSB_Main.h"

namespace korvane {

frmLogin::frmLogin(frmUSB_Main& main)
    : Password_Dialog(QStringLiteral("Login"), passwords::Role::Login,
                      passwords::passwordsPathFor(main.programFolder()), &main)
    , main_(main) {}

void frmLogin::rightPassword() {
    LoginSucceeded = true;
    main_.setAdministrator(true);
    Empty_And_Hide();
}

void frmLogin::cmdCancel_Click() {
    LoginSucceeded = false;
    Empty_And_Hide();
}

} // namespace korvane
