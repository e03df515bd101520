#include "app/frmUSB_Main.h"

#include "app/application.h"
#include "app/design_font.h"
#include "app/lamp.h"
#include "app/message_box.h"
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

// The bottom line: the module's state on the left, the sound's on the right. Each has its
// place, so both show when both are true.
const QRect Link_Status_Place{16, 664, 489, 41};
const QRect Sound_Status_Place{513, 664, 489, 41};

} // namespace

frmUSB_Main::frmUSB_Main(PortCatalog catalog, std::unique_ptr<SoundPlayer> sound,
                         QString programFolder, QWidget* parent, LinkEngine::Timing linkTiming)
    : QMainWindow(parent)
    , MSComm1(std::move(catalog), linkTiming)
    , startSequence(MSComm1, *sound, stepsOnTime)
    , endProgram([this] { endInOrder(); })
    , sound_(std::move(sound))
    , programFolder_(std::move(programFolder)) {
    setWindowTitle(Application_Title);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(arial(8.25));
    buildControls();
    buildMenus();
    buildTimers();
    wireEvents();
    adjustSize();
    setFixedSize(size());
    // As in the original, the ready state comes ten seconds after the window is made
    // unless the load handler brought it first.
    stepsOnTime.arm(StartStep::Ready, cadence::Ready_After_Last_Beep_Ms);
}

frmUSB_Main::~frmUSB_Main() {
    sound_->setStatusListener({});
}

void frmUSB_Main::buildControls() {
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

    abortButton = place(new QPushButton(QStringLiteral("Abort"), client), 40, 384, 337, 129,
                        arial(27.75, true));
    abortButton->setToolTip(QStringLiteral("Esc"));
    abortButton->setStyleSheet(
        QStringLiteral("QPushButton { color: white; background: #c00000; border: 2px solid "
                       "#600000; border-radius: 6px; } QPushButton:pressed { background: "
                       "#900000; }"));
    abortButton->setVisible(false);

    logStatus = makeLabel(client, QString(), {16, 624, 986, 33}, arial(12, true));
    logStatus->setTextFormat(Qt::PlainText);
    logStatus->setAlignment(Qt::AlignCenter);
    logStatus->setStyleSheet(QStringLiteral("color: black; background: #ffc040;"));
    logStatus->setVisible(false);

    linkStatus = makeLabel(client, QStringLiteral("I/O module not connected — retrying"),
                           Link_Status_Place, arial(14.25, true));
    linkStatus->setTextFormat(Qt::PlainText);
    linkStatus->setAlignment(Qt::AlignCenter);
    linkStatus->setStyleSheet(QStringLiteral("color: white; background: #c00000;"));
    linkStatus->setVisible(false);

    soundStatus = makeLabel(client, QString(), Sound_Status_Place, arial(12, true));
    soundStatus->setTextFormat(Qt::PlainText);
    soundStatus->setAlignment(Qt::AlignCenter);
    soundStatus->setWordWrap(true);
    soundStatus->setVisible(false);

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

void frmUSB_Main::buildMenus() {
    QMenu* admin = menuBar()->addMenu(QStringLiteral("Admin"));
    Log_In = admin->addAction(QStringLiteral("Log In"));
    Debug_io = admin->addAction(QStringLiteral("Debug IO"));
    Debug_io->setEnabled(false);
    moreSettingsItem = admin->addAction(QStringLiteral("More settings"));
    moreSettingsItem->setEnabled(false);
    passwordsItem = admin->addAction(QStringLiteral("Passwords"));
    passwordsItem->setEnabled(false);

    QMenu* options = menuBar()->addMenu(QStringLiteral("Options"));
    Veiw_Timer = options->addAction(QStringLiteral("Veiw Race Time"));
    Veiw_Timer->setCheckable(true);
    Veiw_Timer->setChecked(false);
    startLogItem = options->addAction(QStringLiteral("Start log"));
    testSoundItem = options->addAction(QStringLiteral("Test sound"));

    About = menuBar()->addAction(QStringLiteral("About"));
    Exit = menuBar()->addAction(QStringLiteral("Exit"));
}

// Each timer of a start has its design interval (the beeps get theirs from each start)
// and runs its step at the due time through stepsOnTime.
void frmUSB_Main::buildTimers() {
    const std::pair<QTimer*, int> designs[] = {
        {&Gate_up_timer, cadence::Hold_Off_Ms},
        {&Riders_ready, cadence::Riders_Ready_Ms},
        {&Watch_the_gate, cadence::Watch_The_Gate_Ms},
        {&Timer1, 0},
        {&Timer2, 0},
        {&Timer3, 0},
        {&Timer4, 0},
        {&Restart_Delay, cadence::Ready_After_Last_Beep_Ms},
        {&Race_timer, cadence::Race_Limit_Ms},
        {&startPulseTimer, config::Start_Pulse_Ms_Default},
    };
    for (const auto& [timer, interval] : designs) {
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(interval);
    }
}

void frmUSB_Main::wireEvents() {
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
    connect(abortButton, &QPushButton::clicked, this, &frmUSB_Main::abortClick);

    connect(Log_In, &QAction::triggered, this, &frmUSB_Main::Log_In_Click);
    connect(Debug_io, &QAction::triggered, this, &frmUSB_Main::Debug_io_Click);
    connect(Veiw_Timer, &QAction::triggered, this, &frmUSB_Main::Veiw_Timer_Click);
    connect(About, &QAction::triggered, this, &frmUSB_Main::About_Click);
    connect(Exit, &QAction::triggered, this, &frmUSB_Main::Exit_Click);
    connect(moreSettingsItem, &QAction::triggered, this, &frmUSB_Main::moreSettingsClick);
    connect(startLogItem, &QAction::triggered, this, &frmUSB_Main::startLogClick);
    connect(testSoundItem, &QAction::triggered, this, &frmUSB_Main::testSound);
    connect(passwordsItem, &QAction::triggered, this, &frmUSB_Main::passwordsClick);

    const std::tuple<StartStep, QTimer*, void (frmUSB_Main::*)()> steps[] = {
        {StartStep::HoldOff, &Gate_up_timer, &frmUSB_Main::Gate_up_timer_Timer},
        {StartStep::RidersReady, &Riders_ready, &frmUSB_Main::Riders_ready_Timer},
        {StartStep::WatchTheGate, &Watch_the_gate, &frmUSB_Main::Watch_the_gate_Timer},
        {StartStep::Beep1, &Timer1, &frmUSB_Main::Timer1_Timer},
        {StartStep::Beep2, &Timer2, &frmUSB_Main::Timer2_Timer},
        {StartStep::Beep3, &Timer3, &frmUSB_Main::Timer3_Timer},
        {StartStep::Beep4, &Timer4, &frmUSB_Main::Timer4_Timer},
        {StartStep::Ready, &Restart_Delay, &frmUSB_Main::Restart_Delay_Timer},
        {StartStep::PulseEnd, &startPulseTimer, &frmUSB_Main::startPulseEnd},
        {StartStep::RaceLimit, &Race_timer, &frmUSB_Main::Race_timer_Timer},
    };
    for (const auto& [step, timer, handler] : steps)
        stepsOnTime.add(step, *timer, [this, handler] { (this->*handler)(); });

    connect(&startSequence, &StartSequence::changed, this, &frmUSB_Main::render);
    connect(&startSequence, &StartSequence::readFailed, this, &frmUSB_Main::reportReadTimeout);
    connect(&startSequence, &StartSequence::recordReady, this, &frmUSB_Main::logStart);
    connect(&startSequence, &StartSequence::notice, this, [this](const QString& text) {
        showMessage(this, {text, Application_Title, MessageIcon::Warning});
    });
    // What waited for the start's end (a save) is done now.
    connect(&startSequence, &StartSequence::startOver, this, [this] {
        if (saveWhenStartIsOver_)
            Save_Settings_File();
    });
    wireLink();
    // The player tells from its own threads; the window looks on its own.
    sound_->setStatusListener([this] {
        QMetaObject::invokeMethod(this, &frmUSB_Main::showSoundState, Qt::QueuedConnection);
    });
}

void frmUSB_Main::Form_Load() {
    loading_ = true;
    // Nothing is clickable until discovery has ended: a click during a probe's wait
    // would raise a gate on a link that is not there yet.
    setEnabled(false);
    // Decoded while discovery runs; the message below names any that cannot play.
    prepareStartSounds();
    const bool found = Find_Controller();
    // Read even without a module: they are needed when the module appears later.
    Load_Settings();
    loadMoreSettings();
    pushSettings();
    if (found)
        Set_Ready_State();
    setEnabled(true);
    loading_ = false;
    showLinkState();
    showSoundState();
    render();
    // A module found while the box stands closes it: its news is out of date.
    if (!found && !MSComm1.connected())
        showMessage(this, {noControllerMessage(deniedPorts_), Application_Title, MessageIcon::None,
                           No_Controller_Key});
    QStringList report{settingsReport(), soundReport()};
    report.removeAll(QString());
    if (!report.isEmpty())
        showMessage(this,
                    {report.join(QStringLiteral("\n\n")), Application_Title, MessageIcon::Warning});
}

void frmUSB_Main::Set_Ready_State() {
    startSequence.enterReady();
    Beep_time_label->setText(QString::number(HScroll1->value()));
}

void frmUSB_Main::render() {
    Window_start_button->setText(captionText(startSequence.caption()));
    Window_start_button->setEnabled(startSequence.buttonEnabled());
    for (int lamp = 0; lamp < int(Shape1.size()); ++lamp)
        Shape1[std::size_t(lamp)]->setLit(startSequence.lampLit(lamp));
    abortButton->setVisible(startSequence.abortAllowed());
    Time_seconds->setText(startSequence.raceTimeText());
    // The gate timing cannot change during a start; an administrator has it otherwise.
    for (QRadioButton* option : Gate_timing)
        option->setEnabled(administrator_ && !startSequence.running());
    testSoundItem->setEnabled(startSequence.state() == StartState::Ready);
}

// Esc calls a start off, wherever the focus is in the window: no control uses the key.
void frmUSB_Main::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && startSequence.abortAllowed()) {
        abortClick();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

} // namespace korvane
