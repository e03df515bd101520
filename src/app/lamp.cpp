#include "app/lamp.h"

#include <QPainter>

namespace korvane {

Lamp::Lamp(QColor colour, QWidget* parent)
    : QWidget(parent)
    , colour_(colour) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Lamp::setLit(bool lit) {
    if (lit_ == lit)
        return;
    lit_ = lit;
    update();
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int diameter = qMin(width(), height()) - 1;
    const QRectF circle((width() - 1 - diameter) / 2.0 + 0.5, (height() - 1 - diameter) / 2.0 + 0.5,
                        diameter, diameter);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1));
    painter.setBrush(lit_ ? QBrush(colour_) : Qt::NoBrush);
    painter.drawEllipse(circle);
}

} // namespace korvane
