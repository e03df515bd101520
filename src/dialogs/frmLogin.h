#pragma once

#include "dialogs/password_dialog.h"

namespace korvane {

class frmUSB_Main;

// "Login": the right password unlocks the settings controls and the debug window.
class frmLogin : public Password_Dialog {
    Q_OBJECT
public:
    explicit frmLogin(frmUSB_Main& main);

    bool LoginSucceeded = false;

    void cmdCancel_Click() override;

protected:
    void rightPassword() override;

private:
    frmUSB_Main& main_;
};

} // namespace korvane
