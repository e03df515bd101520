#pragma once

#include <QColor>
#include <QWidget>

namespace korvane {

// A round lamp inscribed in its rectangle: lit = filled with its colour, dark =
// outline only.
class Lamp : public QWidget {
    Q_OBJECT
public:
    Lamp(QColor colour, QWidget* parent = nullptr);

    void setLit(bool lit);
    bool isLit() const { return lit_; }
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
    bool lit_ = false;
};

} // namespace korvane
