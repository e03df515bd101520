#include "dialogs/frmLogin.h"

#include "app/frmUSB_Main.h"

namespace korvane {

namespace {
const QString Login_Password = QStringLiteral("plumtree");
}

frmLogin::frmLogin(frmUSB_Main& main)
    : Password_Dialog(QStringLiteral("Login"), &main)
    , main_(main) {}

void frmLogin::cmdOK_Click() {
    if (!Password_Matches(Login_Password)) {
        Wrong_Password();
        return;
    }
    LoginSucceeded = true;
    main_.setAdministrator(true);
    Empty_And_Hide();
}

void frmLogin::cmdCancel_Click() {
    LoginSucceeded = false;
    Empty_And_Hide();
}

} // namespace korvane
