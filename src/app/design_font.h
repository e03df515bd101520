#pragma once

#include <QFont>
#include <QString>
#include <Qt>

namespace korvane {

// The layouts name two faces that only Windows has. Where they are missing, Liberation
// Sans stands in: it has Arial's metrics, so every caption fits its control (DejaVu
// Sans, the usual fallback, is wider and clips them). Arial Black's weight is asked for
// by its users.
inline void installFontSubstitutes() {
    static const bool installed = [] {
        for (const char* missing : {"MS Sans Serif", "Arial Black"})
            QFont::insertSubstitution(QString::fromLatin1(missing),
                                      QStringLiteral("Liberation Sans"));
        return true;
    }();
    Q_UNUSED(installed);
}

// A font as the window layouts give it: family, point size, weight and slant.
inline QFont designFont(const QString& family, qreal points, bool bold = false,
                        bool italic = false) {
    installFontSubstitutes();
    QFont font(family);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

// The frame of every fixed-size dialog: a title and a close box, nothing to resize.
inline constexpr Qt::WindowFlags Fixed_Dialog_Flags =
    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
    Qt::WindowCloseButtonHint;

// The default font of every window: Arial, 8.25 pt unless a size is given.
inline QFont arial(qreal points = 8.25, bool bold = false, bool italic = false) {
    return designFont(QStringLiteral("Arial"), points, bold, italic);
}

} // namespace korvane
