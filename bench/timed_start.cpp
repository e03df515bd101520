#include "bench/timed_start.h"

#include "app/message_box.h"
#include "sequence/trigger_table.h"
#include "settings/config_file.h"
#include "settings/more_settings.h"
#include "sim/virtual_module.h"

#include <QDir>
#include <QEventLoop>
#include <QProperty>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QThread>
#include <QTimer>

#include <ctime>

namespace korvane::bench {

namespace {

constexpr int Hold_Off_Limit_Ms = 6000;
constexpr int Start_Limit_Ms = 40000;
// After beep 4 every command of the start has been written; this is time enough for the
// last of them to cross even a paced link before the ready state writes its own.
constexpr int Last_Commands_Ms = 100;
// The start pulse's line: one the sample config.dat gives no output, as a track would.
constexpr int Start_Pulse_Line = 5;
const QString Start_Pulse_On = QStringLiteral("line %1 on").arg(Start_Pulse_Line);

using sim::monotonicNs;

// Runs the event loop until the timer ticks (after the window's own handler of that tick,
// which was connected first) or the limit passes. Adds no timer of its own but the limit.
bool waitForTick(QTimer& timer, int limitMs) {
    QEventLoop loop;
    bool ticked = false;
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        ticked = true;
        loop.quit();
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return ticked;
}

// Runs the event loop until a timed step of the start has run or the limit passes. Such
// a step usually runs from its early wake-up, before its own timer ticks, and stops its
// timer as it runs: that stop is what is waited for. Adds no timer but the limit.
bool waitForStep(QTimer& step, int limitMs) {
    QEventLoop loop;
    bool ran = false;
    const auto watch = step.bindableActive().onValueChanged([&] {
        if (!step.isActive()) {
            ran = true;
            loop.quit();
        }
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return ran;
}

// The ready state as its timer calls it, once beep 4's commands have reached the module.
bool callReadyStateAfterBeep4(frmUSB_Main& w) {
    if (!waitForStep(w.Timer4, Start_Limit_Ms))
        return false;
    QTimer lastCommands;
    lastCommands.setSingleShot(true);
    lastCommands.start(Last_Commands_Ms);
    waitForTick(lastCommands, Last_Commands_Ms + 1000);
    w.Restart_Delay_Timer();
    return true;
}

} // namespace

StartBench::StartBench(const QString& folder)
    : folder_(folder)
    , module_(QDir(folder).filePath(QStringLiteral("ttyUSB0"))) {}

StartBench::~StartBench() {
    setMessageHandler({});
}

bool StartBench::load(QString* error) {
    // A "Read Timeout" box would stop the run; it is counted instead.
    setMessageHandler([this](const Message&) { ++messages_; });
    if (!module_.start()) {
        *error = QStringLiteral("cannot open a pseudo-terminal");
        return false;
    }
    auto player = std::make_unique<sim::StampingSoundPlayer>(createSystemSoundPlayer());
    sound_ = player.get();
    window_ = std::make_unique<frmUSB_Main>(PortCatalog::fromNames({module_.devicePath()}),
                                            std::move(player), folder_);
    window_->endProgram = [] {};
    window_->show();
    window_->Form_Load();
    roles_ = window_->lineRoles();
    if (window_->Start_Button == 0 ||
        !waitForOutput(QStringLiteral("all port A lines off"), 2000)) {
        *error = QStringLiteral("the window did not find the module or load config.dat");
        return false;
    }
    return true;
}

bool StartBench::waitForOutput(const QString& meaning, int timeoutMs) const {
    const qint64 deadline = monotonicNs() + qint64(timeoutMs) * 1'000'000;
    while (monotonicNs() < deadline) {
        for (const sim::VirtualModule::Command& command : module_.commands()) {
            if (sim::commandMeaning(command.bytes, roles_) == meaning)
                return true;
        }
        QThread::msleep(2);
    }
    return false;
}

void StartBench::setPacing(sim::LinePacing pacing) {
    module_.setPacing(pacing);
}

void StartBench::setStartPulse(bool on) {
    window_->moreSettings.startPulseLine = on ? Start_Pulse_Line : config::No_Start_Pulse;
}

std::optional<StartRecord> StartBench::run(int beepMs, int gateTiming, bool waitForReady,
                                           QString* error) {
    frmUSB_Main& w = *window_;
    if (w.Window_start_button->text() != caption::Put_Up_Gate || w.Restart_Delay.isActive()) {
        *error = QStringLiteral("the window is not in its ready state");
        return std::nullopt;
    }
    w.HScroll1->setValue(beepMs);
    w.Gate_timing[gateTiming]->setChecked(true);
    module_.clearCommands();
    sound_->clear();
    const int messagesBefore = messages_;

    StartRecord record;
    record.beepMs = beepMs;
    record.gateTiming = gateTiming;
    record.raiseCallNs = monotonicNs();
    w.Window_start_button_Click();
    if (!waitForTick(w.Gate_up_timer, Hold_Off_Limit_Ms) || !w.Window_start_button->isEnabled()) {
        *error = QStringLiteral("the hold-off did not end");
        return std::nullopt;
    }
    record.startCallNs = monotonicNs();
    w.Window_start_button_Click();
    if (w.Window_start_button->text() != QStringLiteral("Delay")) {
        *error = QStringLiteral("the second click did not start the cadence");
        return std::nullopt;
    }
    const bool readyCalled =
        waitForReady ? waitForStep(w.Restart_Delay, Start_Limit_Ms) : callReadyStateAfterBeep4(w);
    if (!readyCalled || !waitForOutput(QStringLiteral("all port A lines off"), 2000)) {
        *error = QStringLiteral("the start did not return to the ready state");
        return std::nullopt;
    }
    record.readyMeasured = waitForReady;
    if (!collect(record, error))
        return std::nullopt;
    record.readTimeouts = messages_ - messagesBefore;
    record.staleRepliesLeft = drainStaleReplies();
    return record;
}

// A reply that came after a read's wait stays in the receive buffer. So that every start
// begins with the link as a clean start-up leaves it, such bytes are drained (and
// counted) between starts, never during one.
int StartBench::drainStaleReplies() {
    return 0; // the link engine waits out late replies itself
}

bool StartBench::collect(StartRecord& r, QString* error) const {
    int greenOn = 0;
    const auto first = [](qint64& stamp, qint64 at) {
        if (stamp == 0)
            stamp = at;
    };
    for (const sim::VirtualModule::Command& command : module_.commands()) {
        const QString meaning = sim::commandMeaning(command.bytes, roles_);
        if (meaning == QLatin1String("gate up"))
            first(r.gateUpByteNs, command.atNs);
        else if (meaning == QLatin1String("red on"))
            first(r.beepByteNs[0], command.atNs);
        else if (meaning == QLatin1String("red off"))
            first(r.beepByteNs[1], command.atNs);
        else if (meaning == QLatin1String("orange off"))
            first(r.beepByteNs[2], command.atNs);
        else if (meaning == QLatin1String("green on") && ++greenOn == 2)
            r.beepByteNs[3] = command.atNs; // beep 4 switches green on a second time
        else if (meaning == QLatin1String("gate down"))
            first(r.dropByteNs, command.atNs);
        else if (meaning == Start_Pulse_On)
            first(r.pulseByteNs, command.atNs);
        else if (meaning == QLatin1String("all port A lines off"))
            first(r.readyByteNs, command.atNs);
    }

    int tone = 0;
    for (const sim::StampingSoundPlayer::Call& call : sound_->calls()) {
        if (call.file == QLatin1String("ok_riders.wav"))
            r.okRidersCallNs = call.calledNs;
        else if (call.file == QLatin1String("Riders_ready.wav"))
            r.ridersReadyCallNs = call.calledNs;
        else if (call.file == QLatin1String("Watch_the_gate.wav") && call.sync) {
            r.watchCallNs = call.calledNs;
            r.watchReturnNs = call.returnedNs;
        } else if (call.file.startsWith(QLatin1String("BMX_start_tone")) && tone < 4) {
            r.toneCallNs[tone] = call.calledNs;
            r.toneReturnNs[tone] = call.returnedNs;
            r.toneFile[tone] = call.file;
            ++tone;
        }
    }

    const bool complete = r.gateUpByteNs && r.okRidersCallNs && r.ridersReadyCallNs &&
                          r.watchReturnNs && tone == 4 && r.dropByteNs && r.readyByteNs &&
                          std::all_of(r.beepByteNs.begin(), r.beepByteNs.end(),
                                      [](qint64 stamp) { return stamp != 0; });
    if (!complete)
        *error = QStringLiteral("a step of the start is missing from the module's log");
    return complete;
}

} // namespace korvane::bench
