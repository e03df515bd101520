#include "dialogs/passwords_dialog.h"

#include "app/design_font.h"
#include "app/message_box.h"
#include "dialogs/password_dialog.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace korvane {

namespace {

const QString Caption = QStringLiteral("Passwords");

} // namespace

PasswordsDialog::PasswordsDialog(QString passwordsPath, QWidget* parent)
    : QDialog(parent, Fixed_Dialog_Flags)
    , passwordsPath_(std::move(passwordsPath)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Caption);
    setFont(arial());
    buildControls();
    wireEvents();
}

void PasswordsDialog::buildControls() {
    setFixedSize(300, 144);
    logInPassword = new QRadioButton(QStringLiteral("&Log-in password"), this);
    logInPassword->setGeometry(12, 10, 130, 20);
    logInPassword->setChecked(true);
    exitPassword = new QRadioButton(QStringLiteral("E&xit password"), this);
    exitPassword->setGeometry(150, 10, 130, 20);

    newPasswordLabel = new QLabel(QStringLiteral("&New password:"), this);
    newPasswordLabel->setGeometry(12, 45, 96, 17);
    newPassword = makePasswordBox(this, {112, 42, 176, 23});
    newPasswordLabel->setBuddy(newPassword);

    againLabel = new QLabel(QStringLiteral("&again:"), this);
    againLabel->setGeometry(12, 77, 96, 17);
    again = makePasswordBox(this, {112, 74, 176, 23});
    againLabel->setBuddy(again);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(124, 110, 76, 26);
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(212, 110, 76, 26);
    setTabOrder(logInPassword, newPassword);
    setTabOrder(newPassword, again);
    setTabOrder(again, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    newPassword->setFocus();
}

void PasswordsDialog::wireEvents() {
    connect(cmdOK, &QPushButton::clicked, this, &PasswordsDialog::okClick);
    connect(cmdCancel, &QPushButton::clicked, this, &PasswordsDialog::cancelClick);
}

passwords::Role PasswordsDialog::chosenRole() const {
    return exitPassword->isChecked() ? passwords::Role::Exit : passwords::Role::Login;
}

void PasswordsDialog::okClick() {
    const QString problem = passwords::newPasswordProblem(newPassword->text(), again->text());
    if (!problem.isEmpty()) {
        retype(problem);
        return;
    }
    const QString path = passwordsPath_;
    const passwords::Role role = chosenRole();
    const QString password = newPassword->text();
    if (!save_.start(
            [path, role, password] { return passwords::savePassword(path, role, password); },
            [this, role](bool written) { saved(role, written); }))
        return;
    cmdOK->setEnabled(false);
    cmdCancel->setEnabled(false);
}

void PasswordsDialog::saved(passwords::Role role, bool written) {
    cmdOK->setEnabled(true);
    cmdCancel->setEnabled(true);
    if (!written) {
        showMessage(this,
                    {QStringLiteral("The %1 could not be saved to %2. The previous one "
                                    "stands.")
                         .arg(passwords::roleName(role), QDir::toNativeSeparators(passwordsPath_)),
                     Caption, MessageIcon::Warning});
        return;
    }
    QString name = passwords::roleName(role);
    name[0] = name[0].toUpper();
    showMessage(this, {QStringLiteral("%1 changed.").arg(name), Caption, MessageIcon::Information});
    accept();
}

// The message, then both boxes emptied and the cursor in the first.
void PasswordsDialog::retype(const QString& problem) {
    showMessage(this, {problem, Caption, MessageIcon::Warning});
    newPassword->clear();
    again->clear();
    newPassword->setFocus();
}

void PasswordsDialog::cancelClick() {
    reject();
}

void PasswordsDialog::reject() {
    if (!saving())
        QDialog::reject();
}

} // namespace korvane
