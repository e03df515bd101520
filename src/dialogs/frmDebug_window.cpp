#include "dialogs/frmDebug_window.h"

#include "app/application.h"
#include "app/design_font.h"
#include "app/frmUSB_Main.h"
#include "app/message_box.h"
#include "io/module_protocol.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>

namespace korvane {

namespace {

constexpr int Twips_Per_Pixel = 15;
constexpr int Read_Wait_Ms = 400;
constexpr int Polling_Interval_Ms = 100;
constexpr char Ports[] = {protocol::Port_A, protocol::Port_B, protocol::Port_C};

constexpr int px(int twips) {
    return twips / Twips_Per_Pixel;
}

QRect twips(int left, int top, int width, int height) {
    return {px(left), px(top), px(width), px(height)};
}

// Ten places per frame, two columns by five rows, like the connector: Vcc, 7 / 6, 5 /
// 4, 3 / 2, 1 / 0, Ground. Place p holds line 8 - p; places 0 and 9 are the legends.
constexpr int Pin_Places = 10;
constexpr int Vcc_Place = 0;
constexpr int Ground_Place = 9;

QRect pinRect(int place) {
    const int row = place / 2;
    const bool right = place % 2 != 0;
    return twips(right ? 840 : 120, 240 + 240 * row, right ? 855 : 705, 240);
}

// Typed text said back to the operator: a long paste is cut, not repeated whole.
QString echoed(const QString& text) {
    constexpr qsizetype longest = 20;
    return text.size() <= longest ? text : text.left(longest) + QStringLiteral("...");
}

void showPortByte(const std::array<QCheckBox*, 8>& boxes, quint8 value) {
    for (int n = 0; n < 8; ++n)
        boxes[n]->setChecked((value >> n) & 1);
}

} // namespace

PortAValue parsePortAValue(const QString& text) {
    static const QString range = QStringLiteral("Type a value from 0 to 255.");
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {std::nullopt, QStringLiteral("Nothing to send. ") + range};
    static const QRegularExpression wholeNumber(QStringLiteral("^[+-]?[0-9]+$"));
    if (!wholeNumber.match(trimmed).hasMatch())
        return {std::nullopt,
                QStringLiteral("\"%1\" is not a whole number. ").arg(echoed(text)) + range};
    bool ok = false;
    const qlonglong number = trimmed.toLongLong(&ok);
    if (!ok || number < 0 || number > 255)
        return {std::nullopt, QStringLiteral("%1 is out of range. ").arg(echoed(trimmed)) + range};
    return {quint8(number), QString()};
}

frmDebug_window::frmDebug_window(frmUSB_Main& main)
    : QWidget(&main, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                         Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , main_(main) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Debug Window"));
    setFont(arial());
    Build_Controls();
    IO_polling.setInterval(Polling_Interval_Ms);
    connect(&IO_polling, &QTimer::timeout, this, &frmDebug_window::IO_polling_Timer);
    connect(Test_par_port_io, &QPushButton::clicked, this,
            &frmDebug_window::Test_par_port_io_Click);
    const LinkEngine& engine = main_.MSComm1.engine();
    connect(&engine, &LinkEngine::readDone, this, &frmDebug_window::takeRead);
    connect(&engine, &LinkEngine::readFailed, this, [this](char, ReadFailure failure) {
        if (!reading_)
            return;
        reading_ = false; // the next tick starts a whole refresh again
        if (failure != ReadFailure::NotConnected)
            main_.reportReadTimeout();
    });
    connect(&engine, &LinkEngine::roundTripMeasured, this, [this](qint64 ns) {
        roundTrip->setText(QStringLiteral("Round trip: %1 ms").arg(double(ns) / 1e6, 0, 'f', 1));
    });
    Form_Load();
}

void frmDebug_window::Build_Controls() {
    setFixedSize(px(4230), px(6420));
    Port_Frame[0] = Build_Port_Frame(QStringLiteral("Port A"), 120, QStringLiteral("A "), CheckA,
                                     Vcc[0], Ground[0]);
    Port_Frame[1] = Build_Port_Frame(QStringLiteral("Port B"), 1800, QStringLiteral("B "), CheckB,
                                     Vcc[1], Ground[1]);
    Port_Frame[2] = Build_Port_Frame(QStringLiteral("Port C"), 3480, QStringLiteral("C"), CheckC,
                                     Vcc[2], Ground[2]);

    Output_label = new QLabel(
        QStringLiteral("Output value             0 = all Data OFF    255 = all Data ON"), this);
    Output_label->setTextFormat(Qt::PlainText);
    Output_label->setWordWrap(true);
    Output_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Output_label->setGeometry(twips(240, 5400, 1455, 615));

    IO_value = new QLineEdit(QStringLiteral("0"), this);
    IO_value->setGeometry(twips(1680, 5400, 975, 285));

    Test_par_port_io = new QPushButton(QStringLiteral("Send"), this);
    Test_par_port_io->setGeometry(twips(2760, 5400, 855, 255));

    roundTrip = new QLabel(this);
    roundTrip->setTextFormat(Qt::PlainText);
    roundTrip->setGeometry(twips(240, 6030, 3375, 255));
}

QGroupBox* frmDebug_window::Build_Port_Frame(const QString& caption, int top, const QString& prefix,
                                             std::array<QCheckBox*, 8>& lines, QCheckBox*& vcc,
                                             QCheckBox*& ground) {
    auto* frame = new QGroupBox(caption, this);
    frame->setGeometry(twips(1200, top, 1815, 1575));
    for (int place = 0; place < Pin_Places; ++place) {
        auto* box = new QCheckBox(frame);
        box->setGeometry(pinRect(place));
        if (place == Vcc_Place || place == Ground_Place) {
            box->setText(place == Vcc_Place ? QStringLiteral("Vcc") : QStringLiteral("Ground"));
            box->setEnabled(false);
            (place == Vcc_Place ? vcc : ground) = box;
            continue;
        }
        const int line = 8 - place;
        box->setText(prefix + QString::number(line));
        box->setObjectName(QStringLiteral("Check%1%2").arg(prefix.trimmed()).arg(line));
        lines[line] = box;
    }
    return frame;
}

void frmDebug_window::Form_Load() {
    IO_polling.start();
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    move(600, 50);
}

void frmDebug_window::IO_polling_Timer() {
    if (!reading_)
        Read_Ports();
}

// All three ports or nothing: one after the other, and a failed read leaves every box as
// the last complete refresh left it, the ports after it unread. The link engine reads them
// between its samples of port B; the window never waits for them.
void frmDebug_window::Read_Ports() {
    if (!main_.MSComm1.connected())
        return;
    reading_ = true;
    read_ = {};
    main_.MSComm1.requestRead(Ports[0], Read_Wait_Ms);
}

void frmDebug_window::takeRead(char port, quint8 value) {
    if (!reading_)
        return;
    std::size_t next = 0;
    while (next < read_.size() && read_[next])
        ++next;
    if (next == read_.size() || Ports[next] != port)
        return; // not this refresh's
    read_[next] = value;
    if (next + 1 < read_.size()) {
        main_.MSComm1.requestRead(Ports[next + 1], Read_Wait_Ms);
        return;
    }
    reading_ = false;
    showPortByte(CheckA, *read_[0]);
    showPortByte(CheckB, *read_[1]);
    showPortByte(CheckC, *read_[2]);
}

void frmDebug_window::Test_par_port_io_Click() {
    const PortAValue parsed = parsePortAValue(IO_value->text());
    if (!parsed.value) {
        showMessage(this, {parsed.problem, Application_Title, MessageIcon::None});
        return;
    }
    main_.Write_Port_A(*parsed.value);
}

void frmDebug_window::closeEvent(QCloseEvent* event) {
    IO_polling.stop();
    event->accept();
}

} // namespace korvane
