#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace korvane {

// The layout and the wrong-password reaction shared by the log-in and the exit dialog.
// The dialog is created once and afterwards only hidden and shown again.
class Password_Dialog : public QDialog {
    Q_OBJECT
public:
    QLabel* lblLabels = nullptr; // "&Password:", the access key leads to the box
    QLineEdit* txtPassword = nullptr;
    QPushButton* cmdOK = nullptr;     // default button: Enter
    QPushButton* cmdCancel = nullptr; // cancel button: Esc and the close box

    virtual void cmdOK_Click() = 0;
    virtual void cmdCancel_Click() = 0;

    // Esc and the close box run the Cancel handler.
    void reject() override { cmdCancel_Click(); }

protected:
    Password_Dialog(const QString& caption, QWidget* parent);

    // Topmost, top-left corner at (50, 50), size kept.
    void Form_Load();
    // The whole text, case-sensitive, nothing trimmed; an empty box never matches.
    bool Password_Matches(const QString& password) const;
    // Message, then focus to the box with its whole text selected, so that the next
    // character typed replaces the wrong entry.
    void Wrong_Password();
    void Empty_And_Hide();

private:
    void Build_Controls();
};

} // namespace korvane
