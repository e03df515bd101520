#include "dialogs/password_dialog.h"

#include "app/design_font.h"
#include "app/message_box.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace korvane {

namespace {
const QString Ok_Caption = QStringLiteral("OK");
}

Password_Dialog::Password_Dialog(const QString& caption, passwords::Role role,
                                 QString passwordsPath, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , role_(role)
    , passwordsPath_(std::move(passwordsPath))
    , Locked_Until_(0) {
    setWindowTitle(caption);
    setFont(arial());
    Build_Controls();
    connect(cmdOK, &QPushButton::clicked, this, &Password_Dialog::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &Password_Dialog::cmdCancel_Click);
    Lockout_Timer_.setInterval(200);
    connect(&Lockout_Timer_, &QTimer::timeout, this, &Password_Dialog::lockoutTick);
    Form_Load();
}

void Password_Dialog::Build_Controls() {
    setFixedSize(250, 84);
    lblLabels = new QLabel(QStringLiteral("&Password:"), this);
    lblLabels->setGeometry(8, 16, 73, 17);
    txtPassword = new QLineEdit(this);
    txtPassword->setGeometry(86, 13, 155, 23);
    txtPassword->setEchoMode(QLineEdit::Password);
    // Every typed character shows as '*', whatever the style's own mask character is.
    txtPassword->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    lblLabels->setBuddy(txtPassword);
    cmdOK = new QPushButton(Ok_Caption, this);
    cmdOK->setGeometry(33, 50, 76, 26);
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(140, 50, 76, 26);
    setTabOrder(txtPassword, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    txtPassword->setFocus();
}

void Password_Dialog::Form_Load() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    move(50, 50);
}

void Password_Dialog::cmdOK_Click() {
    if (!Locked_Until_.hasExpired())
        return;
    const QString typed = txtPassword->text();
    const QString path = passwordsPath_;
    const passwords::Role role = role_;
    const int number = Check_Number_ + 1;
    if (!check_.start([path, role, typed] { return passwords::checkPassword(path, role, typed); },
                      [this, number](bool right) { Answer(number, right); }))
        return;
    Check_Number_ = number;
    cmdOK->setEnabled(false);
}

// A wrong try counts even when its answer is dropped: cancelling is no way around the
// lock-out.
void Password_Dialog::Answer(int number, bool right) {
    if (right) {
        Wrong_Tries_.noteRight();
    } else if (const std::chrono::seconds wait = Wrong_Tries_.noteWrong(); wait.count() > 0) {
        Locked_Until_.setRemainingTime(wait);
        Lockout_Timer_.start();
    }
    lockoutTick();
    if (number <= Dropped_Checks_)
        return;
    if (right)
        rightPassword();
    else
        Wrong_Password();
}

void Password_Dialog::lockoutTick() {
    const qint64 left = Locked_Until_.remainingTime();
    if (left <= 0) {
        Lockout_Timer_.stop();
        cmdOK->setText(Ok_Caption);
        cmdOK->setEnabled(!checking());
        return;
    }
    cmdOK->setEnabled(false);
    cmdOK->setText(QStringLiteral("Wait %1 s").arg((left + 999) / 1000));
}

void Password_Dialog::Wrong_Password() {
    showMessage(this, {QStringLiteral("Invalid Password, try again!"), QStringLiteral("Login"),
                       MessageIcon::None});
    txtPassword->setFocus();
    // Home, then Shift+End.
    txtPassword->home(false);
    txtPassword->end(true);
}

void Password_Dialog::Empty_And_Hide() {
    Dropped_Checks_ = Check_Number_;
    txtPassword->clear();
    hide();
}

} // namespace korvane
