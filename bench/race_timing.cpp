// korvane-race-bench: the race time from the finish beam against the virtual module.
//
// The real main window, its real timers and its real link to a virtual module. Each race
// is driven faster than a real start: the cadence's fields are cleared by Start_Cadence,
// then Timer1_Timer drops the gate at beep 1 and the window's own timers run the other
// beeps, the race clock and the ready state. A thread breaks the beam 1 to 5 s after the
// drop. Measures, on a pseudo-terminal and on links paced as a real module's:
//   - the cost of one read transaction of port B (what a tick of the race clock blocks);
//   - the error of the shown race time against the true one: the beam's break (when the
//     thread set the line) minus the drop (when the "L" command arrived at the module),
//     both on CLOCK_MONOTONIC;
//   - the longest gap between two turns of the event loop while the beam is watched,
//     seen by a thread that posts an event to the window thread every millisecond.
// Writes the figures section of docs/race-timing.md and prints it.
//
//   korvane-race-bench [--races n] [--reads n] [--out file] ...   (see --help)
#include "app/frmUSB_Main.h"
#include "app/message_box.h"
#include "bench/bench_options.h"
#include "bench/busy_load.h"
#include "bench/conditions.h"
#include "bench/machine.h"
#include "bench/race_report.h"
#include "bench/stats.h"
#include "sim/event_loop.h"
#include "sim/virtual_module.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace korvane;
using namespace korvane::bench;

namespace {

constexpr int Finish_Beam_Line = 1; // of port B
constexpr int Beep_Ms = 150;
constexpr double Ns_Per_Ms = 1e6;

using sim::monotonicNs;

void progress(const QString& line) {
    std::fputs(qPrintable(line + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

class SilentPlayer : public SoundPlayer {
public:
    void playAsync(const QString&) override {}
    void playSync(const QString&) override {}
};

// Notes when the window thread handles events posted every millisecond from another
// thread: the longest gap between two handled events is the longest the event loop
// did not turn (to within the posting period).
class LoopProbe {
public:
    explicit LoopProbe(QObject& receiver)
        : receiver_(receiver) {}
    ~LoopProbe() { stop(); }

    void start() {
        stop();
        running_ = true;
        lastNs_ = monotonicNs();
        longestNs_ = 0;
        poster_ = std::thread([this] {
            while (running_) {
                QMetaObject::invokeMethod(
                    &receiver_, [this] { turned(); }, Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void stop() {
        running_ = false;
        if (poster_.joinable())
            poster_.join();
        QCoreApplication::processEvents(); // the probes still queued
    }
    double longestGapMs() const { return double(longestNs_) / Ns_Per_Ms; }

private:
    void turned() {
        const qint64 now = monotonicNs();
        longestNs_ = std::max(longestNs_, now - lastNs_);
        lastNs_ = now;
    }

    QObject& receiver_;
    std::atomic<bool> running_{false};
    std::thread poster_;
    qint64 lastNs_ = 0;
    qint64 longestNs_ = 0;
};

using sim::runUntil;

struct Race {
    double trueMs = 0;
    double shownErrorMs = 0; // the panel's text against the true time
    double countErrorMs = 0; // Race_time (whole ms, before the cut to hundredths)
    double longestGapMs = 0;
};

class RaceBench {
public:
    RaceBench()
        : module_(dir_.filePath(QStringLiteral("ttyUSB0"))) {}

    bool load() {
        if (!module_.start())
            return false;
        window_ = std::make_unique<frmUSB_Main>(PortCatalog::fromNames({module_.devicePath()}),
                                                std::make_unique<SilentPlayer>(), dir_.path());
        window_->endProgram = [] {};
        window_->Form_Load();
        if (!window_->MSComm1.connected())
            return false;
        window_->Gate = 0;
        window_->Red = 1;
        window_->Orange = 2;
        window_->Green = 3;
        window_->Start_Button = 1 << 0;
        window_->Finish_Beam = qint16(1 << Finish_Beam_Line);
        window_->Gate_timing[0]->setChecked(true);
        window_->HScroll1->setValue(Beep_Ms);
        window_->pushSettings();
        window_->startSequence.setIntervals({1, 1, 1, 10000});
        return true;
    }

    void setPacing(sim::LinePacing pacing) { module_.setPacing(pacing); }

    // What one tick of the race clock blocks the window thread for.
    std::vector<double> readCostsMs(int reads) {
        std::vector<double> costs;
        for (int i = 0; i < reads; ++i) {
            QElapsedTimer elapsed;
            elapsed.start();
            window_->Write_Port_A(0x00);
            costs.push_back(double(elapsed.nsecsElapsed()) / Ns_Per_Ms);
        }
        return costs;
    }

    std::optional<Race> run(int breakAfterMs) {
        frmUSB_Main& w = *window_;
        module_.setLine(8 + Finish_Beam_Line, false);
        w.Set_Ready_State();
        w.Window_start_button_Click();
        w.Gate_up_timer_Timer();
        module_.clearCommands();
        LoopProbe probe(w);
        probe.start();
        const qint64 calledNs = monotonicNs();
        w.Window_start_button_Click(); // calls a millisecond apart: the drop comes at once
        std::atomic<qint64> breakNs{0};
        std::thread breaker([&] {
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
                std::chrono::nanoseconds(calledNs + qint64(breakAfterMs * Ns_Per_Ms))));
            breakNs = monotonicNs();
            module_.setLine(8 + Finish_Beam_Line, true);
        });
        const bool finished = runUntil(
            [&] { return w.startSequence.raceTimeMs() > 0 || w.Time_seconds->text() == "--.--"; },
            breakAfterMs + 5000);
        breaker.join();
        probe.stop();
        const qint64 dropNs = dropStampNs();
        if (!finished || dropNs < 0 || w.Time_seconds->text() == QLatin1String("--.--"))
            return std::nullopt;
        Race race;
        race.trueMs = double(breakNs - dropNs) / Ns_Per_Ms;
        race.shownErrorMs = w.Time_seconds->text().toDouble() * 1000 - race.trueMs;
        race.countErrorMs = w.startSequence.raceTimeMs() - race.trueMs;
        race.longestGapMs = probe.longestGapMs();
        return race;
    }

    double idleGapMs(int ms) {
        LoopProbe probe(*window_);
        probe.start();
        runUntil([] { return false; }, ms);
        probe.stop();
        return probe.longestGapMs();
    }

    QString panel() const { return window_->Time_seconds->text(); }

private:
    qint64 dropStampNs() const {
        for (const sim::VirtualModule::Command& command : module_.commands()) {
            if (command.bytes == QByteArray("L\x00", 2))
                return command.atNs;
        }
        return -1;
    }

    QTemporaryDir dir_;
    sim::VirtualModule module_;
    std::unique_ptr<frmUSB_Main> window_;
};

int messages = 0; // "Read Timeout" boxes, counted instead of shown

struct Options {
    int races = 20;
    int reads = 2000;
    int quietSeconds = 5;
    CommonOptions common;
};

Options parseOptions(const QApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Korvane race-timing benchmark"));
    parser.addHelpOption();
    const QCommandLineOption races(QStringLiteral("races"),
                                   QStringLiteral("Races per condition (default 20)."),
                                   QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption reads(QStringLiteral("reads"),
                                   QStringLiteral("Read transactions timed per condition (default "
                                                  "2000)."),
                                   QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption quiet(QStringLiteral("quiet-seconds"),
                                   QStringLiteral("How long to watch the event loop without a race "
                                                  "(default 5)."),
                                   QStringLiteral("s"), QStringLiteral("5"));
    parser.addOptions({races, reads, quiet});
    const CommonOptionParser common(parser,
                                    QStringLiteral(KORVANE_SOURCE_DIR "/docs/race-timing.md"));
    parser.process(app);
    Options o;
    o.races = std::max(1, parser.value(races).toInt());
    o.reads = std::max(1, parser.value(reads).toInt());
    o.quietSeconds = std::max(1, parser.value(quiet).toInt());
    o.common = common.read();
    return o;
}

std::optional<RaceResult> measure(RaceBench& bench, const Condition& condition,
                                  const Options& options) {
    messages = 0;
    bench.setPacing(condition.pacing);
    const MachineDuring machine;
    std::optional<BusyLoad> load;
    if (condition.busy)
        load.emplace();
    RaceResult result;
    result.condition = condition;
    progress(QStringLiteral("[%1] %2 read transactions").arg(condition.link).arg(options.reads));
    result.readCosts = bench.readCostsMs(options.reads);
    QRandomGenerator random(condition.busy ? 2 : 1); // the same break moments on every run
    for (int i = 0; i < options.races; ++i) {
        const std::optional<Race> race = bench.run(1000 + int(random.bounded(4000)));
        if (!race) {
            progress(QStringLiteral("[%1] race %2: no race time (panel \"%3\")")
                         .arg(condition.link)
                         .arg(i + 1)
                         .arg(bench.panel()));
            return std::nullopt;
        }
        progress(QStringLiteral("[%1] race %2/%3: shown %4 ms off the true time")
                     .arg(condition.link)
                     .arg(i + 1)
                     .arg(options.races)
                     .arg(race->shownErrorMs, 0, 'f', 2));
        result.shownError.push_back(race->shownErrorMs);
        result.countError.push_back(race->countErrorMs);
        result.longestGaps.push_back(race->longestGapMs);
    }
    result.quietSeconds = options.quietSeconds;
    result.gapWithoutRace = bench.idleGapMs(options.quietSeconds * 1000);
    result.readTimeouts = messages;
    result.machine = machine.describe();
    return result;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const Options options = parseOptions(app);
    setMessageHandler([](const Message&) { ++messages; });

    RaceBench bench;
    if (!bench.load()) {
        progress(QStringLiteral("the virtual module was not found"));
        return 1;
    }
    RaceResults results;
    results.began = QDateTime::currentDateTime();
    results.revision = options.common.revision;
    results.command = options.common.command;
    results.loadAtStart = loadAverage();
    results.races = options.races;
    results.beepMs = Beep_Ms;
    for (const Condition& condition : benchConditions(options.common.load, options.common.pacing)) {
        if (condition.startPulse)
            continue; // two more writes around the drop: the races are the idle ones
        std::optional<RaceResult> result = measure(bench, condition, options);
        if (!result)
            return 1;
        results.conditions.push_back(std::move(*result));
    }
    results.previous = readRecordFile(options.common.previous);
    const QString figures = raceFigures(results);
    if (!writeRaceFigures(options.common.out, figures))
        progress(QStringLiteral("cannot write ") + options.common.out);
    std::fputs(qPrintable(figures), stdout);
    return 0;
}
