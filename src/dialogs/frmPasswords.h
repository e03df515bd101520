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
class frmPasswords : public QDialog {
    Q_OBJECT
public:
    explicit frmPasswords(QString passwordsPath, QWidget* parent = nullptr);

    void cmdOK_Click();
    void cmdCancel_Click();

    // The password the administrator is setting.
    passwords::Role Chosen_Role() const;
    // A save is under way.
    bool Saving() const { return Save_.busy(); }

    QRadioButton* Log_in_password = nullptr; // chosen when the dialog opens
    QRadioButton* Exit_password = nullptr;
    QLabel* New_password_label = nullptr;
    QLineEdit* New_password = nullptr;
    QLabel* Again_label = nullptr;
    QLineEdit* Again = nullptr;
    QPushButton* cmdOK = nullptr; // default button: Enter
    QPushButton* cmdCancel = nullptr;

    // Esc and the close box wait for a save under way, like Cancel.
    void reject() override;

private:
    void Build_Controls();
    void Wire_Events();
    void Saved(passwords::Role role, bool saved);
    void Retype(const QString& problem);

    QString passwordsPath_;
    BackgroundJob Save_;
};

} // namespace korvane
