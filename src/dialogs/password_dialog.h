#pragma once

#include "settings/background_job.h"
#include "settings/passwords.h"

#include <QDeadlineTimer>
#include <QDialog>
#include <QTimer>

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvane {

// A box for a password at `place`: what is typed shows as '*'.
QLineEdit* makePasswordBox(QWidget* parent, const QRect& place);

// The layout and the wrong-password reaction shared by the log-in and the exit dialog.
// The dialog is created once and afterwards only hidden and shown again.
//
// OK checks the typed password against passwords.dat off the window thread (a key
// derivation takes a few hundred milliseconds, and a start's steps run on that thread);
// OK is disabled until the answer comes. After a few wrong tries each further wrong try
// locks OK for longer: the button counts the seconds down ("Wait 4 s").
class Password_Dialog : public QDialog {
    Q_OBJECT
public:
    QLabel* lblLabels = nullptr; // "&Password:", the access key leads to the box
    QLineEdit* txtPassword = nullptr;
    QPushButton* cmdOK = nullptr;     // default button: Enter
    QPushButton* cmdCancel = nullptr; // cancel button: Esc and the close box

    // Checks the typed text; the answer comes later, to rightPassword or the
    // wrong-password reaction. Does nothing while a check is under way or OK is locked.
    void cmdOK_Click();
    virtual void cmdCancel_Click() = 0;

    // Esc and the close box run the Cancel handler.
    void reject() override { cmdCancel_Click(); }

    // A check is under way.
    bool checking() const { return check_.busy(); }

protected:
    Password_Dialog(const QString& caption, passwords::Role role, QString passwordsPath,
                    QWidget* parent);

    // The typed password was right.
    virtual void rightPassword() = 0;
    // Topmost, top-left corner at (50, 50), size kept.
    void Form_Load();
    // Empties the box and hides; an answer still to come is dropped.
    void Empty_And_Hide();

private:
    void Build_Controls();
    void answer(int number, bool right);
    // Message, then focus to the box with its whole text selected, so that the next
    // character typed replaces the wrong entry.
    void Wrong_Password();
    void lockoutTick();

    passwords::Role role_;
    QString passwordsPath_;
    BackgroundJob check_;
    int checkNumber_ = 0;    // the check whose answer is awaited
    int droppedChecks_ = -1; // answers of checks up to this number are dropped
    passwords::WrongTries wrongTries_;
    QDeadlineTimer lockedUntil_;
    QTimer lockoutTimer_; // counts the lock-out down on OK's caption
};

} // namespace korvane
