#include "sim/gate_panel.h"

#include "app/lamp.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <mutex>

namespace korvane::sim {

namespace {

constexpr int Lines_Per_Port = 8;
constexpr int Port_B_First_Line = 8;
constexpr int Recent_Commands = 6;
constexpr char Port_Letters[3] = {'A', 'B', 'C'};

const QColor Gate_Blue(0, 0, 255);
const QColor Light_Colours[3] = {QColor(255, 0, 0), QColor(255, 128, 0), QColor(0, 255, 0)};
const char* const Light_Names[3] = {"Red", "Orange", "Green"};
const QColor Line_On_Colour(255, 220, 0);

bool isRead(const QByteArray& command) {
    return command.size() == 1 && command.at(0) >= 'a' && command.at(0) <= 'c';
}

// "  4512.3 ms  H 00   gate up"
QString commandLine(qint64 sinceFirstNs, const QByteArray& bytes, const QString& meaning) {
    return QStringLiteral("%1 ms  %2  %3")
        .arg(double(sinceFirstNs) / 1e6, 9, 'f', 1)
        .arg(describe(bytes), -7)
        .arg(meaning);
}

} // namespace

GateView::GateView(QWidget* parent)
    : QWidget(parent) {
    setMinimumSize(sizeHint());
}

void GateView::setUp(bool up) {
    if (up_ == up)
        return;
    up_ = up;
    update();
}

void GateView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = width();
    const qreal h = height();
    // The ramp runs down to the right from the gate's hinge.
    const QPointF hinge(w * 0.30, h * 0.55);
    const QPointF rampEnd(w * 0.98, h * 0.92);
    QPainterPath ramp;
    ramp.moveTo(w * 0.02, h * 0.55);
    ramp.lineTo(hinge);
    ramp.lineTo(rampEnd);
    ramp.lineTo(w * 0.98, h);
    ramp.lineTo(w * 0.02, h);
    ramp.closeSubpath();
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(QColor(170, 140, 100));
    p.drawPath(ramp);

    // The plate: standing (lit blue) while the gate line is on, else lying on the ramp.
    const qreal plate = h * 0.42;
    p.setPen(QPen(up_ ? Gate_Blue : QColor(90, 90, 90), 7, Qt::SolidLine, Qt::RoundCap));
    const QPointF slope = rampEnd - hinge;
    const qreal length = std::hypot(slope.x(), slope.y());
    const QPointF tip = up_ ? hinge + QPointF(0, -plate) : hinge + slope * (plate / length);
    p.drawLine(hinge, tip);

    QFont font = p.font();
    font.setBold(true);
    font.setPointSizeF(13);
    p.setFont(font);
    p.setPen(up_ ? Gate_Blue : QColor(90, 90, 90));
    p.drawText(QRectF(w * 0.36, h * 0.04, w * 0.62, h * 0.3), Qt::AlignLeft | Qt::AlignVCenter,
               up_ ? QStringLiteral("GATE UP") : QStringLiteral("GATE DOWN"));
}

struct GatePanel::Relay {
    std::mutex mutex;
    GatePanel* panel = nullptr;
};

GatePanel::GatePanel(VirtualModule& module, QWidget* parent)
    : QWidget(parent)
    , module_(module)
    , relay_(std::make_shared<Relay>()) {
    setWindowTitle(QStringLiteral("Virtual start gate"));
    relay_->panel = this;

    auto* layout = new QVBoxLayout(this);
    auto* where = new QLabel(QStringLiteral("Virtual I/O module on %1 (a pseudo-terminal)")
                                 .arg(QFileInfo(module.devicePath()).fileName()));
    where->setToolTip(module.devicePath());
    layout->addWidget(where);
    layout->addWidget(makeGateAndLights());
    layout->addWidget(makeLines());
    layout->addWidget(makeButtons());

    auto* log = new QGroupBox(QStringLiteral("Last commands received (ms since the first)"));
    auto* logLayout = new QVBoxLayout(log);
    lastCommands_ = new QLabel;
    lastCommands_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lastCommands_->setTextFormat(Qt::PlainText);
    lastCommands_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lastCommands_->setMinimumHeight(lastCommands_->fontMetrics().lineSpacing() * Recent_Commands);
    reads_ = new QLabel(QStringLiteral("Port reads: none yet"));
    logLayout->addWidget(lastCommands_);
    logLayout->addWidget(reads_);
    layout->addWidget(log);

    // The module calls back on its own thread; the panel is updated on its own, with the
    // lines as the module holds them then.
    module.setOnCommand([relay = relay_](const VirtualModule::Command& command) {
        std::lock_guard lock(relay->mutex);
        if (relay->panel == nullptr)
            return;
        QMetaObject::invokeMethod(
            relay->panel, [panel = relay->panel, command] { panel->showCommand(command); },
            Qt::QueuedConnection);
    });
    relabelLines();
    showPortsNow();
}

GatePanel::~GatePanel() {
    std::lock_guard lock(relay_->mutex);
    relay_->panel = nullptr;
}

QWidget* GatePanel::makeGateAndLights() {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    gate_ = new GateView;
    row->addWidget(gate_, 1);

    auto* lights = new QGroupBox(QStringLiteral("Start lights"));
    auto* column = new QGridLayout(lights);
    for (int i = 0; i < 3; ++i) {
        lights_[i] = new Lamp(Light_Colours[i]);
        lights_[i]->setFixedSize(44, 44);
        column->addWidget(lights_[i], i, 0);
        column->addWidget(new QLabel(QString::fromLatin1(Light_Names[i])), i, 1);
    }
    row->addWidget(lights);
    return box;
}

QWidget* GatePanel::makeLines() {
    auto* box =
        new QGroupBox(QStringLiteral("Module lines (port A outputs, ports B and C inputs)"));
    auto* grid = new QGridLayout(box);
    grid->setHorizontalSpacing(4);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    for (int port = 0; port < 3; ++port) {
        grid->addWidget(new QLabel(QStringLiteral("Port %1").arg(QChar(Port_Letters[port]))),
                        2 * port, 0);
        for (int bit = 0; bit < Lines_Per_Port; ++bit) {
            const int index = port * Lines_Per_Port + bit;
            lines_[index] = new Lamp(Line_On_Colour);
            lines_[index]->setFixedSize(18, 18);
            lineLabels_[index] = new QLabel;
            lineLabels_[index]->setFont(small);
            lineLabels_[index]->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
            grid->addWidget(lines_[index], 2 * port, bit + 1, Qt::AlignHCenter);
            grid->addWidget(lineLabels_[index], 2 * port + 1, bit + 1, Qt::AlignHCenter);
        }
    }
    for (int bit = 0; bit < Lines_Per_Port; ++bit)
        grid->setColumnStretch(bit + 1, 1);
    return box;
}

QWidget* GatePanel::makeButtons() {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    startButton_ = new QPushButton(QStringLiteral("External start button"));
    finishBeamButton_ = new QPushButton(QStringLiteral("Finish beam"));
    for (QPushButton* button : {startButton_, finishBeamButton_}) {
        button->setMinimumHeight(48);
        row->addWidget(button);
    }
    // Held, not toggled: the line is high exactly while the button is down.
    connect(startButton_, &QPushButton::pressed, this, [this] { setStartButtonDown(true); });
    connect(startButton_, &QPushButton::released, this, [this] { setStartButtonDown(false); });
    connect(finishBeamButton_, &QPushButton::pressed, this, [this] { setFinishBeamDown(true); });
    connect(finishBeamButton_, &QPushButton::released, this, [this] { setFinishBeamDown(false); });
    return box;
}

void GatePanel::setRoles(const LineRoles& roles) {
    roles_ = roles;
    relabelLines();
    showPortsNow();
}

void GatePanel::relabelLines() {
    for (int index = 0; index < int(lines_.size()); ++index) {
        const int bit = index % Lines_Per_Port;
        QString role;
        if (index < Lines_Per_Port)
            role = roles_.outputRole(bit);
        else if (index < 2 * Lines_Per_Port)
            role = roles_.inputRole(bit);
        // One word a line keeps the columns narrow ("start button" on two lines).
        role.replace(QLatin1Char(' '), QLatin1Char('\n'));
        lineLabels_[index]->setText(role.isEmpty() ? QString::number(bit)
                                                   : QStringLiteral("%1\n%2").arg(bit).arg(role));
    }
    startButton_->setEnabled(roles_.startButton >= 0);
    finishBeamButton_->setEnabled(roles_.finishBeam >= 0);
}

void GatePanel::setStartButtonDown(bool down) {
    startButton_->setDown(down);
    setInputDown(roles_.startButton, down);
}

void GatePanel::setFinishBeamDown(bool down) {
    finishBeamButton_->setDown(down);
    setInputDown(roles_.finishBeam, down);
}

void GatePanel::setInputDown(int line, bool down) {
    if (line < 0)
        return;
    module_.setLine(Port_B_First_Line + line, down);
    showPortsNow();
}

void GatePanel::showCommand(const VirtualModule::Command& command) {
    if (firstCommandNs_ < 0)
        firstCommandNs_ = command.atNs;
    const qint64 sinceFirst = command.atNs - firstCommandNs_;
    if (isRead(command.bytes)) {
        ++readCount_;
        reads_->setText(QStringLiteral("Port reads: %1, the last at %2 ms (%3)")
                            .arg(readCount_)
                            .arg(double(sinceFirst) / 1e6, 0, 'f', 1)
                            .arg(commandMeaning(command.bytes, roles_)));
    } else {
        recent_.prepend(
            commandLine(sinceFirst, command.bytes, commandMeaning(command.bytes, roles_)));
        while (recent_.size() > Recent_Commands)
            recent_.removeLast();
        lastCommands_->setText(recent_.join(QLatin1Char('\n')));
    }
    showPortsNow();
}

void GatePanel::showPortsNow() {
    showPorts({module_.port('A'), module_.port('B'), module_.port('C')});
}

void GatePanel::showPorts(const PortBytes& ports) {
    for (int index = 0; index < int(lines_.size()); ++index)
        lines_[index]->setLit((ports[index / Lines_Per_Port] >> (index % Lines_Per_Port)) & 1);
    // Only lines 0..7 exist on port A; a role on another number shows nothing.
    const auto portALine = [&](int line) {
        return line >= 0 && line < Lines_Per_Port && ((ports[0] >> line) & 1);
    };
    gate_->setUp(portALine(roles_.gate));
    const int lightLines[3] = {roles_.red, roles_.orange, roles_.green};
    for (int i = 0; i < 3; ++i)
        lights_[i]->setLit(portALine(lightLines[i]));
}

} // namespace korvane::sim
