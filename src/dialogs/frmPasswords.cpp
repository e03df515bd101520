#include "dialogs/frmPasswords.h"

#include "app/design_font.h"
#include "app/message_box.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace korvane {

namespace {

const QString Caption = QStringLiteral("Passwords");

QLineEdit* passwordBox(QWidget* parent, const QRect& place) {
    auto* box = new QLineEdit(parent);
    box->setGeometry(place);
    box->setEchoMode(QLineEdit::Password);
    // As in the log-in dialog: every typed character shows as '*'.
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    return box;
}

} // namespace

frmPasswords::frmPasswords(QString passwordsPath, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , passwordsPath_(std::move(passwordsPath)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Caption);
    setFont(arial());
    Build_Controls();
    Wire_Events();
}

void frmPasswords::Build_Controls() {
    setFixedSize(300, 144);
    Log_in_password = new QRadioButton(QStringLiteral("&Log-in password"), this);
    Log_in_password->setGeometry(12, 10, 130, 20);
    Log_in_password->setChecked(true);
    Exit_password = new QRadioButton(QStringLiteral("E&xit password"), this);
    Exit_password->setGeometry(150, 10, 130, 20);

    New_password_label = new QLabel(QStringLiteral("&New password:"), this);
    New_password_label->setGeometry(12, 45, 96, 17);
    New_password = passwordBox(this, {112, 42, 176, 23});
    New_password_label->setBuddy(New_password);

    Again_label = new QLabel(QStringLiteral("&Again:"), this);
    Again_label->setGeometry(12, 77, 96, 17);
    Again = passwordBox(this, {112, 74, 176, 23});
    Again_label->setBuddy(Again);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(124, 110, 76, 26);
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setGeometry(212, 110, 76, 26);
    setTabOrder(Log_in_password, New_password);
    setTabOrder(New_password, Again);
    setTabOrder(Again, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    New_password->setFocus();
}

void frmPasswords::Wire_Events() {
    connect(cmdOK, &QPushButton::clicked, this, &frmPasswords::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmPasswords::cmdCancel_Click);
}

passwords::Role frmPasswords::Chosen_Role() const {
    return Exit_password->isChecked() ? passwords::Role::Exit : passwords::Role::Login;
}

void frmPasswords::cmdOK_Click() {
    const QString problem = passwords::newPasswordProblem(New_password->text(), Again->text());
    if (!problem.isEmpty()) {
        Retype(problem);
        return;
    }
    const QString path = passwordsPath_;
    const passwords::Role role = Chosen_Role();
    const QString password = New_password->text();
    if (!Save_.start(
            [path, role, password] { return passwords::savePassword(path, role, password); },
            [this, role](bool saved) { Saved(role, saved); }))
        return;
    cmdOK->setEnabled(false);
    cmdCancel->setEnabled(false);
}

void frmPasswords::Saved(passwords::Role role, bool saved) {
    cmdOK->setEnabled(true);
    cmdCancel->setEnabled(true);
    if (!saved) {
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
void frmPasswords::Retype(const QString& problem) {
    showMessage(this, {problem, Caption, MessageIcon::Warning});
    New_password->clear();
    Again->clear();
    New_password->setFocus();
}

void frmPasswords::cmdCancel_Click() {
    reject();
}

void frmPasswords::reject() {
    if (!Saving())
        QDialog::reject();
}

} // namespace korvane
