#include "dialogs/password_dialog.h"

#include "app/design_font.h"
#include "app/message_box.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace korvane {

Password_Dialog::Password_Dialog(const QString& caption, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(caption);
    setFont(arial());
    Build_Controls();
    connect(cmdOK, &QPushButton::clicked, this, &Password_Dialog::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &Password_Dialog::cmdCancel_Click);
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
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
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

bool Password_Dialog::Password_Matches(const QString& password) const {
    return !txtPassword->text().isEmpty() && txtPassword->text() == password;
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
    txtPassword->clear();
    hide();
}

} // namespace korvane
