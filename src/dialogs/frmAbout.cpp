#include "dialogs/frmAbout.h"

#include "app/application.h"
#include "app/design_font.h"

#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace korvane {

namespace {

QLabel* makeLabel(QWidget* parent, const QRect& r, const QFont& font, bool black,
                  const QString& text = {}) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(r);
    label->setFont(font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (black) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Qt::black);
        label->setPalette(palette);
    }
    return label;
}

QFrame* makeRule(QWidget* parent, const QRect& r, const QColor& colour) {
    auto* rule = new QFrame(parent);
    rule->setGeometry(r);
    QPalette palette = rule->palette();
    palette.setColor(QPalette::Window, colour);
    rule->setPalette(palette);
    rule->setAutoFillBackground(true);
    return rule;
}

} // namespace

QString yourFilesText(const QString& folder, const QFontMetrics& metrics, int width) {
    const QString lead = QStringLiteral("Your files: ");
    return lead +
           metrics.elidedText(folder, Qt::ElideMiddle, width - metrics.horizontalAdvance(lead));
}

QString versionText(int major, int minor, int revision) {
    return QStringLiteral("Version %1.%2.%3").arg(major).arg(minor).arg(revision);
}

frmAbout::frmAbout(QString programFolder, QWidget* parent)
    : QDialog(parent, Fixed_Dialog_Flags)
    , programFolder_(std::move(programFolder)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About Korvane"));
    setFont(arial(8.25));
    Build_Controls();
    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    Form_Load();
}

void frmAbout::Build_Controls() {
    setFixedSize(387, 160);
    lblTitle = makeLabel(this, {70, 16, 259, 32}, arial(15.75, false, true), true);
    lblVersion = makeLabel(this, {72, 48, 259, 15}, arial(9.75), false);
    const QString description[3] = {
        QStringLiteral("Start gate controller for BMX racing."),
        QStringLiteral("Drives the gate, start lights and tones."),
        QStringLiteral("Works with a 24-line USB I/O module."),
    };
    const QRect places[3] = {{70, 64, 259, 22}, {72, 80, 259, 22}, {72, 104, 259, 22}};
    for (int i = 0; i < 3; ++i)
        lblDescription[i] = makeLabel(this, places[i], arial(9.75), true, description[i]);
    // The grey line lies on the upper pixel of the white one.
    Line1[0] = makeRule(this, {0, 128, 386, 2}, Qt::white);
    Line1[1] = makeRule(this, {0, 128, 387, 1}, QColor(128, 128, 128));
    lblFolder = makeLabel(this, {8, 140, 272, 15}, arial(8.25), false);
    lblFolder->setTextFormat(Qt::PlainText);
    lblFolder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setGeometry(288, 136, 84, 23);
    cmdOK->setDefault(true);
}

void frmAbout::Form_Load() {
    setWindowTitle(QStringLiteral("About ") + Application_Title);
    lblVersion->setText(
        versionText(KORVANE_VERSION_MAJOR, KORVANE_VERSION_MINOR, KORVANE_VERSION_PATCH));
    lblTitle->setText(Application_Title);
    const QString folder = QDir::toNativeSeparators(programFolder_);
    lblFolder->setText(yourFilesText(folder, lblFolder->fontMetrics(), lblFolder->width()));
    lblFolder->setToolTip(folder);
}

void frmAbout::cmdOK_Click() {
    close();
}

} // namespace korvane
