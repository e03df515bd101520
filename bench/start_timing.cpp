// korvane-bench: the start-timing benchmark. Complete starts of the real main window
// against a virtual I/O module, with the real timers and the real sound player, compared
// with the ideal timeline, on a pseudo-terminal and on a link paced as a real module's;
// then the program's start-up, idle CPU and memory as a process of its own. Writes a
// Markdown report (docs/timing.md) and prints it.
#include "bench/audio_onsets.h"
#include "bench/bench_options.h"
#include "bench/busy_load.h"
#include "bench/conditions.h"
#include "bench/machine.h"
#include "bench/measurement_floor.h"
#include "bench/program_process.h"
#include "bench/timed_start.h"
#include "bench/timing_report.h"
#include "sequence/start_sounds.h"
#include "sound/decoder_pulse.h"
#include "tests/support/pulse_server.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

using namespace korvane;
using namespace korvane::bench;

namespace {

// A start takes about this long, and one whose ready state comes by its own timer 10 s more.
constexpr int Start_Seconds = 11;
constexpr int Ready_Wait_Seconds = 10;

void progress(const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

struct Options {
    int starts = 20; // per beep speed and condition
    QList<int> speeds = {100, 150, 300};
    int readyEvery = 4;
    int idleSeconds = 60;
    int startUps = 10;
    int floorSamples = 200;
    bool audio = true;
    CommonOptions common;
};

Options parseOptions(const QApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Korvane start-timing benchmark"));
    parser.addHelpOption();
    const auto valued = [&](const char* name, const char* help, const char* fallback) {
        QCommandLineOption option(QString::fromLatin1(name), QString::fromUtf8(help),
                                  QStringLiteral("n"), QString::fromLatin1(fallback));
        parser.addOption(option);
        return option;
    };
    const auto starts = valued("starts", "Starts per beep speed and condition (default 20).", "20");
    const auto speeds = valued("speeds", "Beep speeds (default 100,150,300).", "100,150,300");
    const auto readyEvery = valued("ready-every",
                                   "Wait for the ready state's own 10 s timer in one start of "
                                   "every n (default 4; 1: every start, 0: none).",
                                   "4");
    const auto idle = valued("idle-seconds", "Idle CPU period in s (default 60).", "60");
    const auto startUps = valued("startups", "Start-up runs (default 10).", "10");
    const auto floorSamples =
        valued("floor-samples", "Samples of the measurement floor (default 200).", "200");
    const QCommandLineOption noAudio(QStringLiteral("no-audio"),
                                     QStringLiteral("No private sound server."));
    parser.addOption(noAudio);
    const CommonOptionParser common(parser, QStringLiteral(KORVANE_SOURCE_DIR "/docs/timing.md"));
    parser.process(app);

    Options o;
    o.starts = std::max(1, parser.value(starts).toInt());
    o.speeds.clear();
    for (const QString& speed : parser.value(speeds).split(QLatin1Char(',')))
        o.speeds << speed.toInt();
    o.readyEvery = std::max(0, parser.value(readyEvery).toInt());
    o.idleSeconds = std::max(1, parser.value(idle).toInt());
    o.startUps = std::max(1, parser.value(startUps).toInt());
    o.floorSamples = std::max(1, parser.value(floorSamples).toInt());
    o.audio = !parser.isSet(noAudio) && test::PulseServer::isInstalled();
    o.common = common.read();
    return o;
}

bool prepareFolder(const QString& source, const QString& folder) {
    for (const QString& file : start_sounds::All) {
        if (!QFile::copy(QDir(source).filePath(QStringLiteral("sounds/") + file),
                         QDir(folder).filePath(file)))
            return false;
    }
    return QFile::copy(QDir(source).filePath(QStringLiteral("packaging/config.dat")),
                       QDir(folder).filePath(QStringLiteral("config.dat")));
}

double soundLengthMs(const QString& folder, const QString& file) {
    const std::optional<SoundBuffer> sound = decodeSoundFile(QDir(folder).filePath(file));
    return sound ? double(sound->audibleLength().count()) / 1000.0 : 0.0;
}

// The instrument first: how late a byte is stamped and a thread wakes, whatever the
// program does.
MeasurementFloor measureFloor(const Options& options) {
    progress(QStringLiteral("measurement floor: pty delivery"));
    MeasurementFloor f;
    f.deliveryIdle = ptyDeliveryMs(options.floorSamples, 10);
    f.sleepIdle = sleepOvershootMs(options.floorSamples, 20);
    if (options.common.load) {
        BusyLoad busy;
        f.deliveryBusy = ptyDeliveryMs(options.floorSamples, 10);
        f.sleepBusy = sleepOvershootMs(options.floorSamples, 20);
    }
    return f;
}

template <typename Measure> Deviations repeat(int times, const QString& what, Measure measure) {
    Deviations values;
    for (int i = 0; i < times; ++i) {
        if (const std::optional<double> value = measure())
            values.push_back(*value);
        else
            progress(QStringLiteral("%1: run %2 failed").arg(what).arg(i + 1));
    }
    return values;
}

ProcessFigures measureProcess(const ProgramProcess& program, test::PulseServer* server,
                              const Options& options) {
    ProcessFigures f;
    progress(QStringLiteral("start-up: %1 runs each").arg(options.startUps));
    f.startUpModule = repeat(options.startUps, QStringLiteral("start-up with module"),
                             [&] { return program.startUpWithModuleMs(); });
    f.startUpPaced = repeat(options.startUps, QStringLiteral("start-up with a paced module"), [&] {
        return program.startUpWithModuleMs({true, f.startUpPacedLatencyMs});
    });
    f.startUpAbsent = repeat(options.startUps, QStringLiteral("start-up, no ports"),
                             [&] { return program.startUpWithoutModuleMs(0); });
    f.startUpSilent = repeat(options.startUps, QStringLiteral("start-up, 16 silent ports"),
                             [&] { return program.startUpWithoutModuleMs(16); });
    if (server && server->start()) {
        progress(
            QStringLiteral("idle CPU for %1 s, sound server running").arg(options.idleSeconds));
        f.idleWithServer = program.idleInReadyState(options.idleSeconds);
        server->stop();
    }
    progress(QStringLiteral("idle CPU for %1 s, no sound server").arg(options.idleSeconds));
    f.idleWithoutServer = program.idleInReadyState(options.idleSeconds);
    return f;
}

// Runs the starts of a condition: at each beep speed a group of starts, the gate timing
// going round 0..3, each group recorded by a sound server of its own.
class StartRunner {
public:
    StartRunner(StartBench& bench, test::PulseServer* server, const QString& folder,
                const Options& options, double watchLengthMs)
        : bench_(bench)
        , server_(server)
        , tones_(folder)
        , options_(options)
        , watchLengthMs_(watchLengthMs) {}

    std::optional<ConditionResult> run(const Condition& condition) {
        ConditionResult result;
        result.condition = condition;
        const int messagesBefore = bench_.messages();
        const int staleBefore = bench_.staleRepliesDrained();
        bench_.setPacing(condition.pacing);
        bench_.setStartPulse(condition.startPulse);
        const MachineDuring machine;
        std::optional<BusyLoad> busy;
        if (condition.busy)
            busy.emplace();
        for (int speed : options_.speeds) {
            if (!runGroup(condition, speed, result))
                return std::nullopt;
        }
        result.machine = machine.describe();
        result.readTimeouts = bench_.messages() - messagesBefore;
        result.staleReplies = bench_.staleRepliesDrained() - staleBefore;
        return result;
    }

private:
    bool runGroup(const Condition& condition, int beepMs, ConditionResult& result) {
        const QString label = QStringLiteral("[%1, beep %2 ms]").arg(condition.link).arg(beepMs);
        test::PulseServer* server = startServer(label);
        std::vector<StartRecord> records;
        for (int i = 0; i < options_.starts; ++i) {
            const bool waitForReady = options_.readyEvery > 0 && i % options_.readyEvery == 0;
            QString error;
            std::optional<StartRecord> record = bench_.run(beepMs, i % 4, waitForReady, &error);
            if (!record) {
                progress(label + QStringLiteral(" start %1 failed: %2").arg(i + 1).arg(error));
                return false;
            }
            record->busy = condition.busy;
            progress(label + QStringLiteral(" start %1/%2, ").arg(i + 1).arg(options_.starts) +
                     describe(*record));
            records.push_back(std::move(*record));
        }
        if (server)
            findOnsets(*server, records);
        for (const StartRecord& r : records) {
            result.figures.add(r, watchLengthMs_);
            for (const double error : beepIntervalErrorsMs(r))
                result.intervalsBySpeed[beepMs].push_back(error);
        }
        result.starts += int(records.size());
        return true;
    }

    test::PulseServer* startServer(const QString& label) {
        if (!server_)
            return nullptr;
        QString error;
        if (!server_->start(&error)) {
            progress(label + QStringLiteral(" no sound server: ") + error);
            return nullptr;
        }
        QThread::msleep(1200); // the player looks for the server once a second
        return server_;
    }

    void findOnsets(test::PulseServer& server, std::vector<StartRecord>& records) {
        server.waitForRecording(records.back().toneCallNs[3] + 300'000'000);
        const test::Recording recording = server.recording();
        for (StartRecord& r : records) {
            for (int k = 0; k < 4; ++k)
                r.toneOnsetNs[k] = tones_.onset(recording, r.toneFile[k], r.toneCallNs[k]);
        }
        server.stop();
    }

    static QString describe(const StartRecord& r) {
        QStringList intervals;
        for (const double error : beepIntervalErrorsMs(r))
            intervals << QString::number(error, 'f', 2);
        QString text = QStringLiteral("gate timing %1: beep intervals %2 ms, drop %3 ms after "
                                      "its beep")
                           .arg(r.gateTiming)
                           .arg(intervals.join(QLatin1Char(' ')))
                           .arg(double(r.dropByteNs - r.beepByteNs[r.gateTiming]) / 1e6, 0, 'f', 2);
        if (r.readTimeouts > 0 || r.staleRepliesLeft > 0)
            text += QStringLiteral("; %1 read timeout(s), %2 stale byte(s) drained")
                        .arg(r.readTimeouts)
                        .arg(r.staleRepliesLeft);
        return text;
    }

    StartBench& bench_;
    test::PulseServer* server_;
    ToneFinder tones_;
    const Options& options_;
    double watchLengthMs_;
};

// What the report says of the run before anything is measured.
TimingResults runDescription(const Options& options, bool audio, const QString& folder) {
    TimingResults r;
    r.began = QDateTime::currentDateTime();
    r.revision = options.common.revision;
    r.command = options.common.command;
    r.cpu = cpuModel();
    r.cores = QThread::idealThreadCount();
    r.system = systemDescription();
    r.loadAtStart = loadAverage();
    r.audio = audio;
    r.startsPerSpeed = options.starts;
    r.speeds = options.speeds;
    r.readyEvery = options.readyEvery;
    r.watchLengthMs = soundLengthMs(folder, QStringLiteral("Watch_the_gate.wav"));
    return r;
}

int estimatedMinutes(const Options& options, int conditions) {
    const int starts = options.starts * int(options.speeds.size());
    const int waited =
        options.readyEvery > 0 ? (starts + options.readyEvery - 1) / options.readyEvery : 0;
    const int perCondition = starts * Start_Seconds + waited * Ready_Wait_Seconds;
    return (conditions * perCondition + 2 * options.idleSeconds + 60) / 60;
}

} // namespace

int main(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const Options options = parseOptions(app);
    const QList<Condition> conditions = benchConditions(options.common.load, options.common.pacing);

    // From here on this process and its children look for the private server only.
    test::PulseServer pulse;
    test::PulseServer* server = options.audio ? &pulse : nullptr;
    QTemporaryDir folder;
    if (!folder.isValid() || !prepareFolder(QStringLiteral(KORVANE_SOURCE_DIR), folder.path())) {
        progress(QStringLiteral("cannot prepare the program folder"));
        return 2;
    }
    QDir::setCurrent(folder.path()); // the sounds are looked up in the working folder

    TimingResults results = runDescription(options, server != nullptr, folder.path());
    progress(QStringLiteral("korvane-bench: %1 starts × %2 beep speeds × %3 conditions, ~%4 min")
                 .arg(options.starts)
                 .arg(options.speeds.size())
                 .arg(conditions.size())
                 .arg(estimatedMinutes(options, int(conditions.size()))));

    results.floor = measureFloor(options);
    const ProgramProcess program(QDir(QCoreApplication::applicationDirPath())
                                     .filePath(QStringLiteral("korvane-bench-program")),
                                 folder.path());
    results.process = measureProcess(program, server, options);

    StartBench bench(folder.path());
    QString error;
    if (!bench.load(&error)) {
        progress(QStringLiteral("korvane-bench: ") + error);
        return 1;
    }
    StartRunner runner(bench, server, folder.path(), options, results.watchLengthMs);
    for (const Condition& condition : conditions) {
        std::optional<ConditionResult> result = runner.run(condition);
        if (!result)
            return 1;
        results.conditions.push_back(std::move(*result));
    }
    results.seconds = results.began.secsTo(QDateTime::currentDateTime());
    results.previous = readRecordFile(options.common.previous);

    const QString report = timingReport(results);
    if (!writeReportFile(options.common.out, report))
        progress(QStringLiteral("cannot write ") + options.common.out);
    std::fputs(qPrintable(report), stdout);
    return 0;
}
