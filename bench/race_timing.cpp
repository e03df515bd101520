// korvane-race-bench: the race time from the finish beam against the virtual module.
//
// The real main window, its real timers and its real link to a virtual module. Each race
// is driven faster than a real start: the cadence's fields are cleared by Start_Cadence,
// then Timer1_Timer drops the gate at beep 1 and the window's own timers run the other
// beeps, the race clock and the ready state. A thread breaks the beam 1 to 5 s after the
// drop. Prints Markdown tables:
//   - the cost of one read transaction of port B (what a tick of the race clock blocks);
//   - the error of the shown race time against the true one: the beam's break (when the
//     thread set the line) minus the drop (when the module received "L"), both on
//     CLOCK_MONOTONIC;
//   - the longest gap between two turns of the event loop while the beam is watched,
//     seen by a thread that posts an event to the window thread every millisecond.
// Each idle and with the other core busy.
//
//   korvane-race-bench [races]    (default 20 races per condition)
#include "app/frmUSB_Main.h"
#include "app/message_box.h"
#include "busy_load.h"
#include "stats.h"
#include "virtual_module.h"

#include <QApplication>
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

namespace {

constexpr int Finish_Beam_Line = 1; // of port B
constexpr int Beep_Ms = 150;
constexpr int Reads_Measured = 2000;
constexpr double Ns_Per_Ms = 1e6;

using sim::monotonicNs;

void say(const QString& line) {
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
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

// Runs the event loop as the program's own would run it (blocking when there is nothing
// to do) until `done` holds or `timeoutMs` has passed.
bool runUntil(const std::function<bool()>& done, int timeoutMs) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(5);
    loop.exec();
    return done();
}

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
        window_->End_Program = [] {};
        window_->Form_Load();
        if (!window_->MSComm1.isOpen())
            return false;
        window_->Gate = 0;
        window_->Red = 1;
        window_->Orange = 2;
        window_->Green = 3;
        window_->Start_Button = 1 << 0;
        window_->Finish_Beam = qint16(1 << Finish_Beam_Line);
        window_->Gate_timing[0]->setChecked(true);
        window_->HScroll1->setValue(Beep_Ms);
        return true;
    }

    // What one tick of the race clock blocks the window thread for.
    std::vector<double> readCostsMs() {
        std::vector<double> costs;
        for (int i = 0; i < Reads_Measured; ++i) {
            QElapsedTimer elapsed;
            elapsed.start();
            window_->Read_Port('b', 100);
            costs.push_back(double(elapsed.nsecsElapsed()) / Ns_Per_Ms);
        }
        return costs;
    }

    std::optional<Race> run(int breakAfterMs) {
        frmUSB_Main& w = *window_;
        module_.setLine(8 + Finish_Beam_Line, false);
        w.Start_Cadence();
        w.Riders_ready.stop(); // no cadence: the drop comes at once
        module_.clearCommands();
        LoopProbe probe(w);
        probe.start();
        const qint64 calledNs = monotonicNs();
        w.Timer1_Timer();
        std::atomic<qint64> breakNs{0};
        std::thread breaker([&] {
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
                std::chrono::nanoseconds(calledNs + qint64(breakAfterMs * Ns_Per_Ms))));
            breakNs = monotonicNs();
            module_.setLine(8 + Finish_Beam_Line, true);
        });
        const bool finished =
            runUntil([&] { return !w.Race_timer.isActive(); }, breakAfterMs + 5000);
        breaker.join();
        probe.stop();
        const qint64 dropNs = dropStampNs();
        if (!finished || dropNs < 0 || w.Time_seconds->text() == QLatin1String("--.--"))
            return std::nullopt;
        Race race;
        race.trueMs = double(breakNs - dropNs) / Ns_Per_Ms;
        race.shownErrorMs = w.Time_seconds->text().toDouble() * 1000 - race.trueMs;
        race.countErrorMs = w.Race_time - race.trueMs;
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

QString row(const QString& label, const std::vector<double>& values) {
    return bench::summaryRow(label, bench::summarize(values));
}

int messages = 0; // "Read Timeout" boxes, counted instead of shown

bool measure(RaceBench& bench, int races, bool busy) {
    messages = 0;
    const char* condition = busy ? "other core busy" : "idle";
    say(QStringLiteral("\n### %1\n").arg(QLatin1String(condition)));
    say(QStringLiteral("| measured | n | median | p99 | max |\n|---|---|---|---|---|"));
    say(row(QStringLiteral("read transaction of port B (ms)"), bench.readCostsMs()));
    std::vector<double> shown, counted, gaps;
    QRandomGenerator random(busy ? 2 : 1); // the same break moments on every run
    for (int i = 0; i < races; ++i) {
        const std::optional<Race> race = bench.run(1000 + int(random.bounded(4000)));
        if (!race) {
            say(QStringLiteral("race %1: no race time (panel \"%2\")")
                    .arg(i + 1)
                    .arg(bench.panel()));
            return false;
        }
        shown.push_back(race->shownErrorMs);
        counted.push_back(race->countErrorMs);
        gaps.push_back(race->longestGapMs);
    }
    say(row(QStringLiteral("shown race time − true time (ms)"), shown));
    say(row(QStringLiteral("Race_time − true time (ms)"), counted));
    say(row(QStringLiteral("longest event-loop gap per race (ms)"), gaps));
    say(QStringLiteral("| longest event-loop gap, 5 s without a race (ms) | 1 | %1 | | |")
            .arg(bench.idleGapMs(5000), 0, 'f', 2));
    say(QStringLiteral("\n\"Read Timeout\" messages: %1").arg(messages));
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int races = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20;
    setMessageHandler([](const Message&) { ++messages; });

    RaceBench bench;
    if (!bench.load()) {
        say(QStringLiteral("the virtual module was not found"));
        return 1;
    }
    say(QStringLiteral("%1 races per condition, beam broken 1 to 5 s after the drop, beeps %2 ms "
                       "apart, the start-button poll running")
            .arg(races)
            .arg(Beep_Ms));
    if (!measure(bench, races, false))
        return 1;
    {
        bench::BusyLoad load;
        if (!measure(bench, races, true))
            return 1;
    }
    return 0;
}
