#include "bench/bench.h"

#include "io/module_protocol.h"
#include "sequence/race_clock.h"
#include "sequence/start_sounds.h"
#include "settings/config_file.h"
#include "sim/command_meaning.h"
#include "sim/event_loop.h"

#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QProperty>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTimer>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

constexpr int Start_Limit_Ms = 40000;
// After beep 4 every command of the start has been written; this is time enough for the
// last of them to cross even a paced link before the ready state writes its own.
constexpr int Last_Commands_Ms = 100;
const QString Ready_Byte = u"all port A lines off"_s;
const QString Drop_Byte = u"gate down"_s;
constexpr int Race_Beep_Ms = 150;
constexpr int Recovery_Limit_Ms = 10000; // for the window to show its link connected again
// A race's start: the hold-off and spoken steps a millisecond apart.
const StartSequence::Intervals Race_Intervals{1, 1, 1, cadence::Ready_After_Last_Beep_Ms};

using sim::monotonicNs;
using sim::runUntil;

// Runs the event loop until a timed step of the start has run or the limit passes. A step
// usually runs from its early wake-up, before its own timer ticks, and stops its timer as
// it runs: that stop is what is waited for. Adds no timer but the limit, so nothing but the
// program's own timers wakes the window's thread.
bool waitForStep(QTimer& step, int limitMs) {
    QEventLoop loop;
    bool ran = false;
    const auto watch = step.bindableActive().onValueChanged([&] {
        ran = !step.isActive();
        if (ran)
            loop.quit();
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return ran;
}

// Notes when the window's thread handles events posted every millisecond from another
// thread: the longest gap between two handled events is the longest the event loop did
// not turn (to within the posting period).
class LoopProbe {
public:
    explicit LoopProbe(QObject& receiver)
        : turnsNs_{monotonicNs()}
        , poster_([this, &receiver] {
            while (running_) {
                QMetaObject::invokeMethod(
                    &receiver, [this] { turnsNs_.push_back(monotonicNs()); }, Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }) {}
    ~LoopProbe() { stop(); }
    void stop() {
        running_ = false;
        if (poster_.joinable())
            poster_.join();
        QCoreApplication::processEvents(); // the probes still queued
    }
    // The longest gap that ended after `fromNs`.
    double longestGapMs(qint64 fromNs = 0) const {
        qint64 longest = 0;
        for (std::size_t i = 1; i < turnsNs_.size(); ++i) {
            if (turnsNs_[i] > fromNs)
                longest = std::max(longest, turnsNs_[i] - turnsNs_[i - 1]);
        }
        return double(longest) / Ns_Per_Ms;
    }

private:
    std::atomic<bool> running_{true};
    std::vector<qint64> turnsNs_; // on the window's thread only
    std::thread poster_;
};

} // namespace

BenchWindow::BenchWindow(const QString& folder)
    : module_(QDir(folder).filePath(u"ttyUSB0"_s)) {
    check(module_.start(), u"cannot open a pseudo-terminal"_s);
    auto player = std::make_unique<sim::StampingSoundPlayer>(createSystemSoundPlayer());
    sound_ = player.get();
    window_ = std::make_unique<frmUSB_Main>(PortCatalog::fromNames({module_.devicePath()}),
                                            std::move(player), folder);
    window_->endProgram = [] {};
    window_->show();
    window_->Form_Load();
    roles_ = window_->lineRoles();
    check(roles_.finishBeam >= 0 && runUntil([&] { return stampOf(Ready_Byte) >= 0; }, 2000),
          u"the window did not find the module or load config.dat"_s);
}

BenchWindow::~BenchWindow() = default;

qint64 StartRecord::byte(const QString& meaning) const {
    const auto found = byteNs.find(meaning);
    check(found != byteNs.end(), u"no “%1” at the module"_s.arg(meaning));
    return found->second;
}

const sim::StampingSoundPlayer::Call& StartRecord::call(const QString& file) const {
    const auto found = std::find_if(calls.begin(), calls.end(),
                                    [&](const auto& call) { return call.file == file; });
    check(found != calls.end(), u"%1 was not played"_s.arg(file));
    return *found;
}

// The stamp of the first command at the module that means `meaning`, or -1.
qint64 BenchWindow::stampOf(const QString& meaning) const {
    for (const sim::VirtualModule::Command& command : module_.commands()) {
        if (sim::commandMeaning(command.bytes, roles_) == meaning)
            return command.atNs;
    }
    return -1;
}

void BenchWindow::apply(const Condition& c) {
    module_.setPacing(c.pacing);
    window_->moreSettings.startPulseLine = c.startPulse ? Start_Pulse_Line : config::No_Start_Pulse;
    window_->pushSettings();
}

bool BenchWindow::reachState(StartState state) {
    return runUntil([&] { return window_->startSequence.state() == state; }, 2000, 1);
}

StartRecord BenchWindow::runStart(const Condition& c, int beepMs, int gateTiming, bool waitForReady,
                                  const std::function<void()>& atCadence) {
    frmUSB_Main& w = *window_;
    apply(c);
    w.HScroll1->setValue(beepMs);
    w.Gate_timing_Click(gateTiming);
    module_.clearCommands();
    sound_->clear();
    StartRecord record{beepMs, gateTiming, waitForReady, monotonicNs()};
    w.Window_start_button_Click();
    check(waitForStep(w.Gate_up_timer, cadence::Hold_Off_Ms + 2000) &&
              w.Window_start_button->isEnabled(),
          u"the hold-off did not end"_s);
    record.startCallNs = monotonicNs();
    w.Window_start_button_Click();
    check(w.startSequence.state() == StartState::Cadence,
          u"the second click did not start the cadence"_s);
    if (atCadence)
        atCadence();
    if (waitForReady) {
        check(waitForStep(w.Restart_Delay, Start_Limit_Ms), u"the ready state did not come"_s);
    } else {
        check(waitForStep(w.Timer4, Start_Limit_Ms), u"beep 4 did not come"_s);
        sim::runEventsFor(Last_Commands_Ms);
        w.Restart_Delay_Timer();
    }
    check(runUntil([&] { return stampOf(Ready_Byte) >= 0; }, 2000),
          u"the ready state's command did not come"_s);
    record.dropWrittenNs = w.startSequence.dropWrittenNs();
    for (const sim::VirtualModule::Command& command : module_.commands()) {
        QString meaning = sim::commandMeaning(command.bytes, roles_);
        if (meaning == u"green on"_s && record.byteNs.count(meaning))
            meaning += u" again"_s;
        record.byteNs.emplace(meaning, command.atNs); // the first of each stays
    }
    record.calls = sound_->calls();
    for (const sim::StampingSoundPlayer::Call& call : record.calls) {
        if (call.file == start_sounds::Beep_Tone || call.file == start_sounds::Long_Tone)
            record.tones << call;
    }
    check(record.tones.size() == 4, u"a start played %1 tones"_s.arg(record.tones.size()));
    return record;
}

Group BenchWindow::raceFigures(const Condition& c, const Counts& counts) {
    apply(c);
    const int messagesBefore = messages();
    const BusyLoad busy(c.busy);
    QRandomGenerator random(c.busy ? 2 : 1); // the same break moments on every run
    Samples s;
    for (int i = 0; i < counts[u"races"_s]; ++i) {
        runRace(1000 + int(random.bounded(4000)), s);
        progress(u"[%1] race %2: Race_time %3 ms off"_s.arg(c.link).arg(i + 1).arg(
            s[u"race-count"_s].back(), 0, 'f', 2));
    }
    Group g{u"race"_s, c.key, c.title, c.link, loadAtTheEnd()};
    g.add(s);
    g.set(u"quiet-seconds"_s, counts[u"quiet-seconds"_s]);
    window_->Set_Ready_State();
    LoopProbe quiet(*window_); // the event loop without a race
    sim::runEventsFor(counts[u"quiet-seconds"_s] * 1000);
    quiet.stop();
    g.set(u"gap-without-race"_s, quiet.longestGapMs());
    g.set(u"read-timeouts"_s, messages() - messagesBefore);
    return g;
}

void BenchWindow::runRace(int breakAfterMs, Samples& s) {
    frmUSB_Main& w = *window_;
    const int beam = 8 + roles_.finishBeam;
    module_.setLine(beam, false);
    w.HScroll1->setValue(Race_Beep_Ms);
    w.Gate_timing_Click(0);
    w.startSequence.setIntervals(Race_Intervals);
    w.Set_Ready_State();
    w.Window_start_button_Click();
    check(reachState(StartState::GateUp), u"the gate did not go up"_s);
    module_.clearCommands();
    LoopProbe probe(w);
    w.Window_start_button_Click();
    check(runUntil([&] { return stampOf(Drop_Byte) >= 0; }, 5000, 1), u"the gate did not drop"_s);
    const qint64 dropNs = stampOf(Drop_Byte);
    std::atomic<qint64> breakNs{0};
    std::jthread breaker([&] {
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::nanoseconds(dropNs + qint64(breakAfterMs * Ns_Per_Ms))));
        breakNs = monotonicNs();
        module_.setLine(beam, true);
    });
    runUntil([&] { return !w.startSequence.raceTimeText().isEmpty(); }, breakAfterMs + 5000);
    breaker.join();
    probe.stop();
    w.startSequence.setIntervals({});
    check(w.startSequence.raceTimeMs() > 0,
          u"no race time (panel \"%1\")"_s.arg(w.startSequence.raceTimeText()));
    const double trueMs = double(breakNs - dropNs) / Ns_Per_Ms;
    s[u"race-shown"_s].push_back(w.Time_seconds->text().toDouble() * 1000 - trueMs);
    s[u"race-count"_s].push_back(w.startSequence.raceTimeMs() - trueMs);
    s[u"loop-gap"_s].push_back(probe.longestGapMs(w.startSequence.dropWrittenNs()));
    qint64 lastReadNs = -1;
    for (const sim::VirtualModule::Command& command : module_.commands()) {
        if (command.bytes != protocol::readPort(protocol::Port_B) || command.atNs < dropNs ||
            command.atNs > breakNs)
            continue;
        if (lastReadNs >= 0)
            s[u"sample-period"_s].push_back(double(command.atNs - lastReadNs) / Ns_Per_Ms);
        lastReadNs = command.atNs;
    }
}

Group BenchWindow::recoveryFigures(const Counts& counts) {
    const std::pair<Situation, QString> situations[] = {
        {Situation::AtRest, u"at-rest"_s}, {Situation::GateUp, u"gate-raised"_s},
        {Situation::Held, u"held"_s},      {Situation::Cadence, u"cadence"_s},
        {Situation::RaceWatch, u"race"_s}, {Situation::MessageOpen, u"message"_s}};
    apply({});
    QRandomGenerator random(3);
    Samples s;
    for (int i = 0; i < counts[u"recoveries"_s]; ++i) {
        for (const auto& [situation, key] : situations) {
            // Plugged in again anywhere in the link's one-second retry; a module not back, or
            // a start that could not be brought there, counts as the longest wait.
            double ms = Recovery_Limit_Ms;
            try {
                ms = recoveryMs(situation, 300 + int(random.bounded(1000)));
            } catch (const Failure& failure) {
                progress(u"recovery %1: "_s.arg(key) + failure.what);
            }
            progress(u"recovery %1: %2 ms"_s.arg(key).arg(ms, 0, 'f', 0));
            s[key].push_back(ms);
            s[u"any"_s].push_back(ms);
        }
    }
    Group g{u"recovery"_s, u"recovery"_s};
    g.add(s);
    return g;
}

double BenchWindow::recoveryMs(Situation situation, int awayMs) {
    frmUSB_Main& w = *window_;
    // The clicks that bring a start there: the gate up (its hold-off cut short), the
    // cadence, a hold on screen.
    const int clicks[] = {0, 1, 3, 2, 2, 0};
    w.startSequence.setIntervals(situation == Situation::RaceWatch
                                     ? Race_Intervals
                                     : StartSequence::Intervals{1, cadence::Riders_Ready_Ms});
    for (int click = 0; click < clicks[int(situation)]; ++click) {
        w.Window_start_button_Click();
        check(click > 0 || reachState(StartState::GateUp), u"the gate did not go up"_s);
    }
    check(situation != Situation::RaceWatch ||
              runUntil([&] { return w.startSequence.raceWatched(); }, 5000, 1),
          u"no race was watched"_s);
    double ms = Recovery_Limit_Ms;
    if (situation == Situation::MessageOpen) {
        // A box open on the window's thread: the module goes and comes back meanwhile.
        messages_.whileOpen = [&](const Message&) { ms = replugMs(awayMs); };
        w.reportReadTimeout();
        messages_.whileOpen = {};
    } else {
        ms = replugMs(awayMs);
    }
    w.abortClick();
    w.startSequence.setIntervals({});
    w.Set_Ready_State();
    sim::runEventsFor(200);
    return ms;
}

// The module unplugged, seen to be gone, plugged in again `awayMs` later: how long until
// the window shows its link connected (the limit when it does not).
double BenchWindow::replugMs(int awayMs) {
    frmUSB_Main& w = *window_;
    module_.unplug();
    runUntil([&] { return !w.MSComm1.connected(); }, 3000, 1);
    sim::runEventsFor(awayMs);
    const qint64 replugNs = monotonicNs();
    module_.replug();
    runUntil([&] { return w.MSComm1.connected() && w.linkStatus->isHidden(); }, Recovery_Limit_Ms,
             1);
    return std::min(double(monotonicNs() - replugNs) / Ns_Per_Ms, double(Recovery_Limit_Ms));
}

} // namespace korvane::bench
