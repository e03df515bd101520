#pragma once

#include "dialogs/password_dialog.h"

namespace korvane {

class frmUSB_Main;

// "Log out": the exit password ends the program at once.
class frmLogout : public Password_Dialog {
    Q_OBJECT
public:
    explicit frmLogout(frmUSB_Main& main);

    bool LogoutSucceeded = false;

    void cmdCancel_Click() override;

protected:
    void rightPassword() override;

private:
    frmUSB_Main& main_;
};

} // namespace korvane
