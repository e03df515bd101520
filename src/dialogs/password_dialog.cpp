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

QLineEdit* makePasswordBox(QWidget* parent, const QRect& place) {
    auto* box = new QLineEdit(parent);
    box->setGeometry(place);
    box->setEchoMode(QLineEdit::Password);
    // Every typed character shows as '*', whatever the style's own mask character is.
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    return box;
}

Password_Dialog::Password_Dialog(const QString& caption, passwords::Role role,
                                 QString passwordsPath, QWidget* parent)
    : QDialog(parent, Fixed_Dialog_Flags)
    , role_(role)
    , passwordsPath_(std::move(passwordsPath))
    , lockedUntil_(0) {
    setWindowTitle(caption);
    setFont(arial());
    Build_Controls();
    connect(cmdOK, &QPushButton::clicked, this, &Password_Dialog::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &Password_Dialog::cmdCancel_Click);
    lockoutTimer_.setInterval(200);
    connect(&lockoutTimer_, &QTimer::timeout, this, &Password_Dialog::lockoutTick);
    Form_Load();
}

void Password_Dialog::Build_Controls() {
    setFixedSize(250, 84);
    lblLabels = new QLabel(QStringLiteral("&Password:"), this);
    lblLabels->setGeometry(8, 16, 73, 17);
    txtPassword = makePasswordBox(this, {86, 13, 155, 23});
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
    if (!lockedUntil_.hasExpired())
        return;
    const QString typed = txtPassword->text();
    const QString path = passwordsPath_;
    const passwords::Role role = role_;
    const int number = checkNumber_ + 1;
    if (!check_.start([path, role, typed] { return passwords::checkPassword(path, role, typed); },
                      [this, number](bool right) { answer(number, right); }))
        return;
    checkNumber_ = number;
    cmdOK->setEnabled(false);
}

// A wrong try counts even when its answer is dropped: cancelling is no way around the
// lock-out.
void Password_Dialog::answer(int number, bool right) {
    if (right) {
        wrongTries_.noteRight();
    } else if (const std::chrono::seconds wait = wrongTries_.noteWrong(); wait.count() > 0) {
        lockedUntil_.setRemainingTime(wait);
        lockoutTimer_.start();
    }
    lockoutTick();
    if (number <= droppedChecks_)
        return;
    if (right)
        rightPassword();
    else
        Wrong_Password();
}

void Password_Dialog::lockoutTick() {
    const qint64 left = lockedUntil_.remainingTime();
    if (left <= 0) {
        lockoutTimer_.stop();
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
    droppedChecks_ = checkNumber_;
    txtPassword->clear();
    hide();
}

} // namespace korvane
