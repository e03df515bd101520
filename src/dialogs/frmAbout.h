#pragma once

#include <QDialog>

#include <array>

class QFontMetrics;
class QFrame;
class QLabel;
class QPushButton;

namespace korvane {

// "Your files: " and the folder, shortened in the middle ("/home/.../korvane") when the
// whole would not fit in `width` pixels.
QString yourFilesText(const QString& folder, const QFontMetrics& metrics, int width);

// "Version 2.1.1": decimal numbers, no leading zeros.
QString versionText(int major, int minor, int revision);

// Title, version, a short description and the folder of the operator's files
// (`programFolder`). OK is the default button (Enter); Esc rejects the dialog, which
// closes it the same way: either unloads the box (deleted on close).
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QString programFolder, QWidget* parent = nullptr);

    void Form_Load();
    void cmdOK_Click();

    QLabel* lblTitle = nullptr;
    QLabel* lblVersion = nullptr;
    std::array<QLabel*, 3> lblDescription{};
    std::array<QFrame*, 2> Line1{}; // white 2 px under grey 1 px: an etched rule
    QLabel* lblFolder = nullptr;    // "Your files: ..." beside OK; the text can be copied
    QPushButton* cmdOK = nullptr;

private:
    void Build_Controls();

    QString programFolder_;
};

} // namespace korvane
