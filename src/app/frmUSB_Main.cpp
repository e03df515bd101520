#include "app/frmUSB_Main.h"

#include "app/application.h"
#include "app/design_font.h"
#include "app/lamp.h"
#include "app/message_box.h"
#include "dialogs/administrator.h"
#include "io/module_protocol.h"
#include "sequence/trigger_table.h"

#include <QAction>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

namespace korvane {

namespace {

QFont sansSerif(qreal points, bool bold = false) {
    return designFont(QStringLiteral("MS Sans Serif"), points, bold);
}

template <typename W> W* place(W* widget, int left, int top, int width, int height, QFont font) {
    widget->setGeometry(left, top, width, height);
    widget->setFont(font);
    return widget;
}

QLabel* makeLabel(QWidget* parent, const QString& text, const QRect& r, const QFont& font) {
    return place(new QLabel(text, parent), r.x(), r.y(), r.width(), r.height(), font);
}

// How often a lost or missing module is looked for.
constexpr int Link_Retry_Ms = 1000;

} // namespace

void setTimerEnabled(QTimer& timer, bool enabled) {
    if (!enabled)
        timer.stop();
    else if (!timer.isActive())
        timer.start();
}

frmUSB_Main::frmUSB_Main(PortCatalog catalog, std::unique_ptr<SoundPlayer> sound,
                         QString programFolder, QWidget* parent)
    : QMainWindow(parent)
    , MSComm1(std::move(catalog))
    , End_Program([] { std::_Exit(0); })
    , sound_(std::move(sound))
    , programFolder_(std::move(programFolder))
    , Finder_(MSComm1) {
    setWindowTitle(Application_Title);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(arial(8.25));
    Build_Controls();
    Build_Menus();
    Build_Timers();
    Wire_Events();
    adjustSize();
    setFixedSize(size());
}

frmUSB_Main::~frmUSB_Main() = default;

void frmUSB_Main::Build_Controls() {
    auto* client = new QWidget(this);
    client->setFixedSize(1018, 724);
    setCentralWidget(client);

    Window_start_button =
        place(new QPushButton(caption::Put_Up_Gate, client), 208, 40, 561, 129, arial(27.75, true));

    Frame3 = place(new QGroupBox(QStringLiteral("Gate timing  selection"), client), 416, 384, 169,
                   225, sansSerif(12));
    static const QColor lampColours[5] = {QColor(255, 0, 0), QColor(255, 128, 0), QColor(0, 255, 0),
                                          QColor(0, 255, 0), QColor(0, 0, 255)};
    Label2[0] =
        makeLabel(Frame3, QStringLiteral("Gate "), {24, 192, 33, 17}, sansSerif(8.25, true));
    for (int k = 1; k <= 4; ++k)
        Label2[k] = makeLabel(Frame3, QStringLiteral("Beep %1").arg(k),
                              {16, 40 + 32 * (k - 1), 41, 17}, sansSerif(8.25, true));
    for (int i = 0; i < 4; ++i) {
        Shape1[i] = place(new Lamp(lampColours[i], Frame3), 64, 32 + 32 * i, 25, 25, arial(8.25));
        Gate_timing[i] = place(new QRadioButton(Frame3), 96, 40 + 32 * i, 17, 17, arial(8.25));
        Gate_timing[i]->setEnabled(false);
    }
    Shape1[4] = place(new Lamp(lampColours[4], Frame3), 64, 168, 73, 49, arial(8.25));

    Frame1 = place(new QGroupBox(QStringLiteral("Beep Speed"), client), 672, 376, 321, 81,
                   sansSerif(13.5, true));
    HScroll1 = place(new QScrollBar(Qt::Horizontal, Frame1), 8, 56, 305, 17, arial(8.25));
    // The range the settings file promises the operator; 150 is the design position.
    HScroll1->setRange(100, 500);
    HScroll1->setSingleStep(10);
    HScroll1->setPageStep(50);
    HScroll1->setValue(150);
    HScroll1->setEnabled(false);
    Beep_time_label = makeLabel(Frame1, QString(), {184, 24, 41, 25}, arial(18));
    Label1 = makeLabel(Frame1, QStringLiteral("ms"), {232, 32, 41, 17}, arial(9.75));

    Frame2 = place(new QGroupBox(QString(), client), 400, 176, 201, 161, arial(8.25));
    QFont black = designFont(QStringLiteral("Arial Black"), 36);
    black.setWeight(QFont::Black);
    Time_seconds = makeLabel(Frame2, QString(), {8, 24, 185, 57}, black);
    Time_seconds->setAutoFillBackground(true);
    Time_seconds->setBackgroundRole(QPalette::ToolTipBase);
    Time_seconds->setForegroundRole(QPalette::ToolTipText);
    Label4 = makeLabel(Frame2, QStringLiteral("Race Time  (seconds)"), {32, 88, 137, 57},
                       sansSerif(18, true));
    Label4->setWordWrap(true);
    Frame2->setVisible(false);

    Save_Settings = place(new QPushButton(QStringLiteral("Save Settings"), client), 632, 496, 161,
                          57, arial(14.25, true));
    Save_Settings->setVisible(false);

    Abort_button = place(new QPushButton(QStringLiteral("Abort"), client), 40, 384, 337, 129,
                         arial(27.75, true));
    Abort_button->setToolTip(QStringLiteral("Esc"));
    Abort_button->setStyleSheet(
        QStringLiteral("QPushButton { color: white; background: #c00000; border: 2px solid "
                       "#600000; border-radius: 6px; } QPushButton:pressed { background: "
                       "#900000; }"));
    Abort_button->setVisible(false);

    Log_Status = makeLabel(client, QString(), {16, 624, 986, 33}, arial(12, true));
    Log_Status->setTextFormat(Qt::PlainText);
    Log_Status->setAlignment(Qt::AlignCenter);
    Log_Status->setStyleSheet(QStringLiteral("color: black; background: #ffc040;"));
    Log_Status->setVisible(false);

    Link_Status = makeLabel(client, QStringLiteral("I/O module not connected — retrying"),
                            {16, 664, 986, 41}, arial(14.25, true));
    Link_Status->setTextFormat(Qt::PlainText);
    Link_Status->setAlignment(Qt::AlignCenter);
    Link_Status->setStyleSheet(QStringLiteral("color: white; background: #c00000;"));
    Link_Status->setVisible(false);

    // One-pixel rule along the top edge of the client area, under the menu bar.
    Line1 = new QFrame(client);
    Line1->setGeometry(0, 0, 1104, 1);
    Line1->setAutoFillBackground(true);
    Line1->setBackgroundRole(QPalette::WindowText);

    setTabOrder(Window_start_button, HScroll1);
    setTabOrder(HScroll1, Gate_timing[0]);
    for (int i = 0; i < 3; ++i)
        setTabOrder(Gate_timing[i], Gate_timing[i + 1]);
    setTabOrder(Gate_timing[3], Save_Settings);
}

void frmUSB_Main::Build_Menus() {
    QMenu* admin = menuBar()->addMenu(QStringLiteral("Admin"));
    Log_In = admin->addAction(QStringLiteral("Log In"));
    Debug_io = admin->addAction(QStringLiteral("Debug IO"));
    Debug_io->setEnabled(false);
    More_settings = admin->addAction(QStringLiteral("More settings"));
    More_settings->setEnabled(false);
    Passwords = admin->addAction(QStringLiteral("Passwords"));
    Passwords->setEnabled(false);

    QMenu* options = menuBar()->addMenu(QStringLiteral("Options"));
    Veiw_Timer = options->addAction(QStringLiteral("Veiw Race Time"));
    Veiw_Timer->setCheckable(true);
    Veiw_Timer->setChecked(false);
    Start_log = options->addAction(QStringLiteral("Start log"));

    About = menuBar()->addAction(QStringLiteral("About"));
    Exit = menuBar()->addAction(QStringLiteral("Exit"));
}

void frmUSB_Main::Build_Timers() {
    struct Design {
        QTimer* timer;
        int interval;
        bool enabled;
    };
    // Timer1 to Timer4 get their interval from the first start and never tick before it.
    // Race_timer runs only while a race is timed: the drop starts it with its own tick.
    const Design designs[] = {
        {&Polling_start_input, 500, true},
        {&Gate_up_timer, 4000, false},
        {&Riders_ready, 3600, false},
        {&Watch_the_gate, 1000, false},
        {&Timer1, 0, false},
        {&Timer2, 0, false},
        {&Timer3, 0, false},
        {&Timer4, 0, false},
        {&Restart_Delay, 10000, true},
        {&Race_timer, 1, false},
    };
    for (const Design& d : designs) {
        d.timer->setTimerType(Qt::PreciseTimer);
        d.timer->setInterval(d.interval);
        if (d.enabled)
            d.timer->start();
    }
    Link_Retry.setInterval(Link_Retry_Ms);
    Start_pulse_timer.setTimerType(Qt::PreciseTimer);
    Start_pulse_timer.setSingleShot(true);
}

void frmUSB_Main::Wire_Events() {
    connect(Window_start_button, &QPushButton::clicked, this,
            &frmUSB_Main::Window_start_button_Click);
    connect(HScroll1, &QScrollBar::valueChanged, this, &frmUSB_Main::HScroll1_Change);
    for (int i = 0; i < 4; ++i) {
        connect(Gate_timing[i], &QRadioButton::toggled, this, [this, i](bool selected) {
            if (selected)
                Gate_timing_Click(i);
        });
    }
    connect(Save_Settings, &QPushButton::clicked, this, &frmUSB_Main::Save_Settings_Click);
    connect(Abort_button, &QPushButton::clicked, this, &frmUSB_Main::Abort_button_Click);

    connect(Log_In, &QAction::triggered, this, &frmUSB_Main::Log_In_Click);
    connect(Debug_io, &QAction::triggered, this, &frmUSB_Main::Debug_io_Click);
    connect(Veiw_Timer, &QAction::triggered, this, &frmUSB_Main::Veiw_Timer_Click);
    connect(About, &QAction::triggered, this, &frmUSB_Main::About_Click);
    connect(Exit, &QAction::triggered, this, &frmUSB_Main::Exit_Click);
    connect(More_settings, &QAction::triggered, this, &frmUSB_Main::More_settings_Click);
    connect(Start_log, &QAction::triggered, this, &frmUSB_Main::Start_log_Click);
    connect(Passwords, &QAction::triggered, this, &frmUSB_Main::Passwords_Click);
    connect(&Start_pulse_timer, &QTimer::timeout, this, &frmUSB_Main::Start_pulse_timer_Timer);

    connect(&Polling_start_input, &QTimer::timeout, this, &frmUSB_Main::Polling_start_input_Timer);
    connect(&Gate_up_timer, &QTimer::timeout, this, &frmUSB_Main::Gate_up_timer_Timer);
    const std::pair<QTimer*, void (frmUSB_Main::*)()> timedSteps[] = {
        {&Riders_ready, &frmUSB_Main::Riders_ready_Timer},
        {&Watch_the_gate, &frmUSB_Main::Watch_the_gate_Timer},
        {&Timer1, &frmUSB_Main::Timer1_Timer},
        {&Timer2, &frmUSB_Main::Timer2_Timer},
        {&Timer3, &frmUSB_Main::Timer3_Timer},
        {&Timer4, &frmUSB_Main::Timer4_Timer},
        {&Restart_Delay, &frmUSB_Main::Restart_Delay_Timer},
    };
    for (const auto& [timer, handler] : timedSteps) {
        connect(timer, &QTimer::timeout, this, handler);
        Steps_On_Time.add(*timer, [this, handler] { (this->*handler)(); });
    }
    connect(&Race_timer, &QTimer::timeout, this, &frmUSB_Main::Race_timer_Timer);

    connect(&Link_Retry, &QTimer::timeout, this, &frmUSB_Main::Link_Retry_Timer);
    connect(&MSComm1, &SerialLink::lost, this, &frmUSB_Main::Link_Lost);
}

void frmUSB_Main::Form_Load() {
    Loading_ = true;
    // Nothing is clickable until discovery has ended: a click during a probe's wait
    // would raise a gate on a link that is not there yet.
    setEnabled(false);
    const bool found = Find_Controller();
    // Read even without a module: they are needed when the module appears later.
    Load_Settings();
    Load_More_Settings();
    if (found)
        Set_Ready_State();
    setEnabled(true);
    Loading_ = false;
    Show_Link_State();
    if (!found) {
        showMessage(this, {No_Controller_Message(), Application_Title, MessageIcon::None});
        setTimerEnabled(Link_Retry, true);
    }
    const QString settings = Settings_Report();
    if (!settings.isEmpty())
        showMessage(this, {settings, Application_Title, MessageIcon::Warning});
}

void frmUSB_Main::Set_Ready_State() {
    Delayed = false;
    Window_start_button->setEnabled(true);
    Window_start_button->setText(caption::Put_Up_Gate);
    if (Log_In->text() == Logged_In_Caption) {
        for (QRadioButton* option : Gate_timing)
            option->setEnabled(true);
        Save_Settings->setVisible(true);
    }
    for (Lamp* lamp : Shape1)
        lamp->setLit(false);
    Abort_button->setVisible(false);
    // A closed link is left to Link_Retry, which brings the ready state again when the
    // module answers; a failed write closes the link and does the same.
    Write_Port_A(0x00);
    setTimerEnabled(Restart_Delay, false);
    Beep_time_label->setText(QString::number(HScroll1->value()));
    Show_Link_State();
}

// Esc calls a start off, wherever the focus is in the window: no control uses the key.
void frmUSB_Main::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && !Abort_button->isHidden()) {
        Abort_button_Click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void frmUSB_Main::Restart_Delay_Timer() {
    Set_Ready_State();
    Note_Ready_State();
}

} // namespace korvane
