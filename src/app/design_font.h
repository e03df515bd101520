#pragma once

#include <QFont>
#include <QString>

namespace korvane {

// A font as the window layouts give it: family, point size, weight and slant.
inline QFont Design_Font(const QString& family, qreal points, bool bold = false,
                         bool italic = false) {
    QFont font(family);
    font.setPointSizeF(points);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

// The default font of every window: Arial, 8.25 pt unless a size is given.
inline QFont Arial(qreal points = 8.25, bool bold = false, bool italic = false) {
    return Design_Font(QStringLiteral("Arial"), points, bold, italic);
}

} // namespace korvane
