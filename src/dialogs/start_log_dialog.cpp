#include "dialogs/start_log_dialog.h"

#include "app/design_font.h"
#include "dialogs/frmAbout.h"
#include "sequence/start_log.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>

namespace korvane {

namespace {

constexpr int Date_Column = 0;
constexpr int Aborted_Column = 6;

// The record's cells as the table shows them: as in the file, the time without its
// offset (it is the track's own clock).
QStringList shownCells(const startlog::StartRecord& record) {
    QStringList cells = startlog::recordFields(record);
    cells[Date_Column] = record.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return cells;
}

QTableWidgetItem* readOnlyCell(const QString& text, int column) {
    auto* cell = new QTableWidgetItem(text);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (column != Date_Column && column != Aborted_Column)
        cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return cell;
}

QString noteText(const startlog::RecentStarts& recent, const QString& fileName) {
    switch (recent.kind) {
    case startlog::RecentStarts::Kind::Missing:
        return QStringLiteral("No start has been logged yet: there is no %1.").arg(fileName);
    case startlog::RecentStarts::Kind::Unreadable:
        return QStringLiteral("%1 cannot be read.").arg(fileName);
    case startlog::RecentStarts::Kind::Read:
        break;
    }
    QString note = recent.records.size() == 1
                       ? QStringLiteral("The last start in %1.").arg(fileName)
                       : QStringLiteral("The last %1 starts in %2, newest first.")
                             .arg(QString::number(recent.records.size()), fileName);
    if (recent.junkLines == 1)
        note += QStringLiteral(" 1 line that is not a start is left out.");
    else if (recent.junkLines > 1)
        note += QStringLiteral(" %1 lines that are not starts are left out.").arg(recent.junkLines);
    return note;
}

} // namespace

StartLogDialog::StartLogDialog(QString logPath, QWidget* parent)
    : QDialog(parent, Fixed_Dialog_Flags)
    , logPath_(std::move(logPath)) {
    setWindowTitle(QStringLiteral("Start log"));
    setFont(arial());
    buildControls();
    wireEvents();
}

void StartLogDialog::buildControls() {
    setFixedSize(820, 448);
    Starts = new QTableWidget(0, startlog::Column_Count, this);
    Starts->setGeometry(8, 8, 804, 384);
    Starts->setHorizontalHeaderLabels(startlog::columnTitles());
    Starts->verticalHeader()->hide();
    Starts->verticalHeader()->setDefaultSectionSize(20);
    Starts->horizontalHeader()->setStretchLastSection(true);
    Starts->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Starts->setSelectionBehavior(QAbstractItemView::SelectRows);

    Note = new QLabel(this);
    Note->setTextFormat(Qt::PlainText);
    Note->setGeometry(8, 400, 700, 17);
    Note->setToolTip(QDir::toNativeSeparators(logPath_));

    Folder = new QLabel(this);
    Folder->setTextFormat(Qt::PlainText);
    Folder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Folder->setGeometry(8, 420, 700, 17);
    const QString folder = QDir::toNativeSeparators(QFileInfo(logPath_).absolutePath());
    Folder->setText(yourFilesText(folder, Folder->fontMetrics(), Folder->width()));
    Folder->setToolTip(folder);

    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setGeometry(728, 408, 84, 26);
    cmdClose->setDefault(true);
}

void StartLogDialog::wireEvents() {
    connect(cmdClose, &QPushButton::clicked, this, &StartLogDialog::closeClick);
}

void StartLogDialog::load() {
    const startlog::RecentStarts recent = startlog::readRecentStarts(logPath_, Starts_Shown);
    Starts->setRowCount(0);
    Starts->setRowCount(int(recent.records.size()));
    for (int row = 0; row < recent.records.size(); ++row) {
        const QStringList cells = shownCells(recent.records[row]);
        for (int column = 0; column < cells.size(); ++column)
            Starts->setItem(row, column, readOnlyCell(cells[column], column));
    }
    Starts->resizeColumnsToContents();
    Note->setText(noteText(recent, QFileInfo(logPath_).fileName()));
}

void StartLogDialog::closeClick() {
    close();
}

void StartLogDialog::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        load();
    QDialog::showEvent(event);
}

} // namespace korvane
