#pragma once

#include <QDialog>

#include <array>

class QFrame;
class QLabel;
class QPushButton;

namespace korvane {

// "Version 2.1.1": decimal numbers, no leading zeros.
QString versionText(int major, int minor, int revision);

// Title, version and a short description. OK is the default button (Enter); Esc rejects
// the dialog, which closes it the same way: either unloads the box (deleted on close).
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget* parent = nullptr);

    void Form_Load();
    void cmdOK_Click();

    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    std::array<QLabel*, 3> lblDescription{};
    std::array<QFrame*, 2> Line1{}; // white 2 px under grey 1 px: an etched rule
    QPushButton* cmdOK = nullptr;

private:
    void Build_Controls();
};

} // namespace korvane
