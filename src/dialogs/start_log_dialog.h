#pragma once

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;

namespace korvane {

// "Start log": the most recent starts from starts.csv at `logPath`, newest first, in a
// table nobody can edit, and the folder the file is in. Each showing reads the file again.
class StartLogDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int Starts_Shown = 50;

    explicit StartLogDialog(QString logPath, QWidget* parent = nullptr);

    void load();
    void closeClick();

    QTableWidget* Starts = nullptr; // one row per start, the columns of starts.csv
    QLabel* Note = nullptr;         // what was shown, or why nothing was
    QLabel* Folder = nullptr;       // "Your files: " and the folder of starts.csv
    QPushButton* cmdClose = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    void wireEvents();

    QString logPath_;
};

} // namespace korvane
