// The administrator's menu, the secondary windows and the way out.
#include "app/frmUSB_Main.h"

#include "dialogs/frmAbout.h"
#include "dialogs/frmDebug_window.h"
#include "dialogs/frmLogin.h"
#include "dialogs/frmLogout.h"
#include "dialogs/more_settings_dialog.h"
#include "dialogs/passwords_dialog.h"
#include "dialogs/start_log_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

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
    if (!administrator_) {
        showOnce(loginDialog, [this] { return new frmLogin(*this); });
        return;
    }
    setAdministrator(false);
    // Never left open without an administrator.
    if (moreSettingsWindow)
        moreSettingsWindow->close();
    if (passwordsWindow)
        passwordsWindow->close();
    if (debugWindow)
        debugWindow->close();
}

// In this order, as the original did it: Debug_io, the gate-timing options, HScroll1,
// Save_Settings, and the caption that says how to leave.
void frmUSB_Main::setAdministrator(bool on) {
    administrator_ = on;
    Debug_io->setEnabled(on);
    moreSettingsItem->setEnabled(on);
    passwordsItem->setEnabled(on);
    render(); // the gate-timing options, unless a start runs
    HScroll1->setEnabled(on);
    Save_Settings->setVisible(on);
    Log_In->setText(on ? QStringLiteral("Log Out") : QStringLiteral("Log In"));
}

void frmUSB_Main::Debug_io_Click() {
    showOnce(debugWindow, [this] { return new frmDebug_window(*this); });
}

void frmUSB_Main::moreSettingsClick() {
    showOnce(moreSettingsWindow, [this] {
        auto* dialog = new MoreSettingsDialog(config::moreSettingsPathFor(programFolder()),
                                              config::OutputLines{Gate, Red, Orange, Green}, this);
        connect(dialog, &MoreSettingsDialog::settingsSaved, this,
                [this](const config::MoreSettings& saved) {
                    moreSettings = saved;
                    pushSettings(); // for the next start: one under way keeps its own
                });
        return dialog;
    });
}

void frmUSB_Main::startLogClick() {
    showOnce(startLogWindow, [this] {
        return new StartLogDialog(startlog::startLogPathFor(programFolder()), this);
    });
}

void frmUSB_Main::passwordsClick() {
    showOnce(passwordsWindow, [this] {
        return new PasswordsDialog(passwords::passwordsPathFor(programFolder()), this);
    });
}

void frmUSB_Main::About_Click() {
    showOnce(aboutBox, [this] { return new frmAbout(programFolder(), this); });
}

void frmUSB_Main::Exit_Click() {
    showOnce(logoutDialog, [this] { return new frmLogout(*this); });
}

// The outputs stay as they are. The start under way is recorded as it stands; the port
// (and its lock), the sound stream and the log are closed as the program ends.
void frmUSB_Main::endInOrder() {
    startSequence.close();
    QCoreApplication::quit();
}

// The close box is no way around the exit password: it asks for it as Exit does.
void frmUSB_Main::closeEvent(QCloseEvent* event) {
    event->ignore();
    Exit_Click();
}

} // namespace korvane
