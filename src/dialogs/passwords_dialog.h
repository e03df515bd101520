#pragma once

#include "settings/background_job.h"
#include "settings/passwords.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace korvane {

// "Passwords": the administrator sets the log-in or the exit password, typed twice, in
// passwords.dat at `passwordsPath`. The key derivation and the save run off the window
// thread; OK and Cancel wait for them. A saved password is confirmed and the dialog
// closes (and is deleted, typed text and all); a refused or failed one is explained and
// the dialog stays open.
class PasswordsDialog : public QDialog {
    Q_OBJECT
public:
    explicit PasswordsDialog(QString passwordsPath, QWidget* parent = nullptr);

    void okClick();
    void cancelClick();

    // The password the administrator is setting.
    passwords::Role chosenRole() const;
    // A save is under way.
    bool saving() const { return save_.busy(); }

    QRadioButton* logInPassword = nullptr; // chosen when the dialog opens
    QRadioButton* exitPassword = nullptr;
    QLabel* newPasswordLabel = nullptr;
    QLineEdit* newPassword = nullptr;
    QLabel* againLabel = nullptr;
    QLineEdit* again = nullptr;
    QPushButton* cmdOK = nullptr; // default button: Enter
    QPushButton* cmdCancel = nullptr;

    // Esc and the close box wait for a save under way, like Cancel.
    void reject() override;

private:
    void buildControls();
    void wireEvents();
    void saved(passwords::Role role, bool written);
    void retype(const QString& problem);

    QString passwordsPath_;
    BackgroundJob save_;
};

} // namespace korvane
