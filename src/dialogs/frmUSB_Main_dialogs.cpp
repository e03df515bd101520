// The administrator's menu, the secondary windows and the way out.
#include "app/frmUSB_Main.h"

#include "dialogs/administrator.h"
#include "dialogs/frmAbout.h"
#include "dialogs/frmDebug_window.h"
#include "dialogs/frmLogin.h"
#include "dialogs/frmLogout.h"
#include "dialogs/frmMore_settings.h"
#include "dialogs/frmPasswords.h"
#include "dialogs/frmStart_log.h"

#include <QAction>
#include <QCloseEvent>

namespace korvane {

namespace {

// Each secondary window exists at most once: created on first use, then only shown.
// Showing one that is open already changes nothing.
template <typename W, typename Make> void showOnce(QPointer<W>& window, Make make) {
    if (!window)
        window = make();
    window->show();
}

} // namespace

void frmUSB_Main::Log_In_Click() {
    if (Log_In->text() == Logged_Out_Caption) {
        showOnce(Login_Dialog, [this] { return new frmLogin(*this); });
        return;
    }
    setAdministrator(*this, false);
    // Never left open without an administrator.
    if (More_Settings_Window)
        More_Settings_Window->close();
    if (Passwords_Window)
        Passwords_Window->close();
    if (Debug_Window)
        Debug_Window->close();
}

void frmUSB_Main::Debug_io_Click() {
    showOnce(Debug_Window, [this] { return new frmDebug_window(*this); });
}

void frmUSB_Main::More_settings_Click() {
    showOnce(More_Settings_Window, [this] {
        auto* dialog = new frmMore_settings(config::moreSettingsPathFor(programFolder()),
                                            config::OutputLines{Gate, Red, Orange, Green}, this);
        connect(dialog, &frmMore_settings::Settings_Saved, this,
                [this](const config::MoreSettings& saved) { More_Settings = saved; });
        return dialog;
    });
}

void frmUSB_Main::Start_log_Click() {
    showOnce(Start_Log_Window,
             [this] { return new frmStart_log(startlog::startLogPathFor(programFolder()), this); });
}

void frmUSB_Main::Passwords_Click() {
    showOnce(Passwords_Window, [this] {
        return new frmPasswords(passwords::passwordsPathFor(programFolder()), this);
    });
}

void frmUSB_Main::About_Click() {
    showOnce(About_Box, [this] { return new frmAbout(programFolder(), this); });
}

void frmUSB_Main::Exit_Click() {
    showOnce(Logout_Dialog, [this] { return new frmLogout(*this); });
}

// The close box is no way around the exit password: it asks for it as Exit does.
void frmUSB_Main::closeEvent(QCloseEvent* event) {
    event->ignore();
    Exit_Click();
}

} // namespace korvane
