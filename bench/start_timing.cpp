// korvane-bench: the start-timing benchmark. Complete starts of the real main window
// against a virtual I/O module, with the real timers and the real sound player, compared
// with the ideal timeline; then the program's start-up, idle CPU and memory as a process
// of its own. Writes a Markdown report (docs/timing.md) and prints it.
#include "audio_onsets.h"
#include "busy_load.h"
#include "measurement_floor.h"
#include "program_process.h"
#include "pulse_server.h"
#include "sound/decoder_pulse.h"
#include "stats.h"
#include "timed_start.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <functional>
#include <sys/utsname.h>

using namespace korvane;
using namespace korvane::bench;

namespace {

constexpr double Ns_Per_Ms = 1e6;
constexpr double Hold_Off_Ms = 4000;
constexpr double Riders_Ready_Ms = 3600;
constexpr double Watch_The_Gate_Ms = 1000;
constexpr double Restart_Delay_Ms = 10000;

const QStringList Sound_Files = {
    QStringLiteral("ok_riders.wav"),           QStringLiteral("Riders_ready.wav"),
    QStringLiteral("Watch_the_gate.wav"),      QStringLiteral("BMX_start_tone.wav"),
    QStringLiteral("BMX_start_tone_long.wav"),
};

void progress(const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), stderr);
    std::fflush(stderr);
}

double ms(qint64 ns) {
    return double(ns) / Ns_Per_Ms;
}

struct Options {
    int starts = 20;
    QList<int> speeds = {100, 150, 300};
    int idleSeconds = 60;
    int startUps = 10;
    bool audio = true;
    bool load = true;
    QString out;
    QString revision;
};

// ---------------------------------------------------------------- the figures

// Deviations of one kind, gathered over many starts.
using Deviations = std::vector<double>;

struct StartFigures {
    Deviations holdOff, gateUpByte, ridersReady, watchCall, watchLength, firstBeep, firstTone;
    Deviations byteAfterCall;
    Deviations intervalBytes, intervalCalls, dropVsBeep, dropVsTimeline, ready;
    Deviations playToDropToneFirst, playToDropDropFirst, playCall;
    Deviations onsetVsDrop, onsetVsCall;
};

void add(StartFigures& f, const StartRecord& r, double watchLengthMs) {
    const double beep = r.beepMs;
    const int drop = r.gateTiming;
    f.holdOff.push_back(ms(r.startCallNs - r.raiseCallNs) - Hold_Off_Ms);
    f.gateUpByte.push_back(ms(r.gateUpByteNs - r.raiseCallNs));
    f.ridersReady.push_back(ms(r.ridersReadyCallNs - r.okRidersCallNs) - Riders_Ready_Ms);
    f.watchCall.push_back(ms(r.watchCallNs - r.ridersReadyCallNs) - Watch_The_Gate_Ms);
    f.watchLength.push_back(ms(r.watchReturnNs - r.watchCallNs) - watchLengthMs);
    f.firstBeep.push_back(ms(r.beepByteNs[0] - r.watchReturnNs) - beep);
    f.firstTone.push_back(ms(r.toneCallNs[0] - r.watchReturnNs) - beep);
    // Beeps 1 to 3 write their bytes before the tone's call: what follows is delivery.
    for (int k = 0; k < 3; ++k)
        f.byteAfterCall.push_back(ms(r.beepByteNs[k] - r.toneCallNs[k]));
    for (int k = 1; k < 4; ++k) {
        f.intervalBytes.push_back(ms(r.beepByteNs[k] - r.beepByteNs[k - 1]) - beep);
        f.intervalCalls.push_back(ms(r.toneCallNs[k] - r.toneCallNs[k - 1]) - beep);
    }
    f.dropVsBeep.push_back(ms(r.dropByteNs - r.beepByteNs[drop]));
    const double idealDrop = ms(r.okRidersCallNs) + Riders_Ready_Ms + Watch_The_Gate_Ms +
                             watchLengthMs + (drop + 1) * beep;
    f.dropVsTimeline.push_back(ms(r.dropByteNs) - idealDrop);
    f.ready.push_back(ms(r.readyByteNs - r.beepByteNs[3]) - Restart_Delay_Ms);
    (drop < 3 ? f.playToDropToneFirst : f.playToDropDropFirst)
        .push_back(ms(r.dropByteNs - r.toneCallNs[drop]));
    for (int k = 0; k < 4; ++k) {
        f.playCall.push_back(ms(r.toneReturnNs[k] - r.toneCallNs[k]));
        if (r.toneOnsetNs[k])
            f.onsetVsCall.push_back(ms(*r.toneOnsetNs[k] - r.toneCallNs[k]));
    }
    if (r.toneOnsetNs[drop])
        f.onsetVsDrop.push_back(ms(*r.toneOnsetNs[drop] - r.dropByteNs));
}

struct ProcessFigures {
    Deviations startUpModule, startUpAbsent, startUpSilent;
    std::optional<ProgramProcess::Idle> idleWithServer, idleWithoutServer;
};

// ---------------------------------------------------------------- the machine

QString cpuModel() {
    QFile info(QStringLiteral("/proc/cpuinfo"));
    if (info.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : info.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

QString loadAverage() {
    QFile load(QStringLiteral("/proc/loadavg"));
    if (!load.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromUtf8(load.readAll()).section(QLatin1Char(' '), 0, 2);
}

// CPU time of the whole machine from /proc/stat: {all, stolen by the hypervisor}, in ticks.
std::pair<qint64, qint64> cpuTicks() {
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return {0, 0};
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    qint64 all = 0;
    for (int i = 1; i < fields.size() && i <= 8; ++i)
        all += fields[i].toLongLong();
    return {all, fields.size() > 8 ? fields[8].toLongLong() : 0};
}

// What the machine did while a phase ran: load average at its end and stolen CPU time.
struct MachineDuring {
    std::pair<qint64, qint64> begin = cpuTicks();
    QString describe() const {
        const auto [all, stolen] = cpuTicks();
        const double share = all > begin.first
                                 ? 100.0 * double(stolen - begin.second) / double(all - begin.first)
                                 : 0.0;
        return QStringLiteral("load average at the end %1, CPU time stolen by the hypervisor "
                              "%2 %")
            .arg(loadAverage())
            .arg(share, 0, 'f', 1);
    }
};

QString kernel() {
    utsname name{};
    uname(&name);
    return QStringLiteral("%1 %2").arg(QString::fromUtf8(name.sysname), name.release);
}

// ---------------------------------------------------------------- the runs

bool prepareFolder(const QString& source, const QString& folder) {
    for (const QString& file : Sound_Files) {
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

// One group: `starts` starts at one beep speed, the gate timing going round 0..3.
bool runGroup(StartBench& bench, test::PulseServer* server, ToneFinder& tones, int beepMs,
              int starts, bool busy, double watchLengthMs, StartFigures& figures,
              std::map<int, Deviations>& intervalsBySpeed) {
    const QString label =
        QStringLiteral("[%1, beep %2 ms]").arg(busy ? "busy" : "idle").arg(beepMs);
    if (server) {
        QString error;
        if (!server->start(&error)) {
            progress(label + QStringLiteral(" no sound server: ") + error);
            server = nullptr;
        }
        QThread::msleep(1200); // the player looks for the server once a second
    }
    std::vector<StartRecord> records;
    for (int i = 0; i < starts; ++i) {
        QString error;
        std::optional<StartRecord> record = bench.run(beepMs, i % 4, &error);
        if (!record) {
            progress(label + QStringLiteral(" start %1 failed: %2").arg(i + 1).arg(error));
            return false;
        }
        record->busy = busy;
        const StartRecord& r = *record;
        progress(label +
                 QStringLiteral(" start %1/%2, gate timing %3: beep intervals %4 %5 %6 "
                                "ms, drop %7 ms after its beep")
                     .arg(i + 1)
                     .arg(starts)
                     .arg(r.gateTiming)
                     .arg(ms(r.beepByteNs[1] - r.beepByteNs[0]) - beepMs, 0, 'f', 2)
                     .arg(ms(r.beepByteNs[2] - r.beepByteNs[1]) - beepMs, 0, 'f', 2)
                     .arg(ms(r.beepByteNs[3] - r.beepByteNs[2]) - beepMs, 0, 'f', 2)
                     .arg(ms(r.dropByteNs - r.beepByteNs[r.gateTiming]), 0, 'f', 2) +
                 (r.readTimeouts > 0 || r.staleRepliesLeft > 0
                      ? QStringLiteral("; %1 read timeout(s), %2 stale byte(s) drained")
                            .arg(r.readTimeouts)
                            .arg(r.staleRepliesLeft)
                      : QString()));
        records.push_back(std::move(*record));
    }
    if (server) {
        server->waitForRecording(records.back().toneCallNs[3] + 300'000'000);
        const test::Recording recording = server->recording();
        for (StartRecord& r : records) {
            for (int k = 0; k < 4; ++k)
                r.toneOnsetNs[k] = tones.onset(recording, r.toneFile[k], r.toneCallNs[k]);
        }
        server->stop();
    }
    for (const StartRecord& r : records) {
        add(figures, r, watchLengthMs);
        for (int k = 1; k < 4; ++k)
            intervalsBySpeed[beepMs].push_back(ms(r.beepByteNs[k] - r.beepByteNs[k - 1]) - beepMs);
    }
    return true;
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

// ---------------------------------------------------------------- the report

QString tableHead() {
    return QStringLiteral("| Step (ideal) | n | median | p99 | max |\n|---|---:|---:|---:|---:|");
}

QString timelineTable(const StartFigures& f) {
    const auto row = [](const char* label, const Deviations& d) {
        return summaryRow(QString::fromUtf8(label), summarize(d));
    };
    return QStringList{
        tableHead(),
        row("Gate-up byte after the click (0)", f.gateUpByte),
        row("Hold-off: start possible after the gate went up (4000 ms)", f.holdOff),
        row("“Riders ready” call after the start (3600 ms)", f.ridersReady),
        row("“Watch the gate” call after “Riders ready” (1000 ms)", f.watchCall),
        row("“Watch the gate” played to its end (its length W)", f.watchLength),
        row("Beep 1 byte after the end of “Watch the gate” (B)", f.firstBeep),
        row("Beep 1 tone call after the end of “Watch the gate” (B)", f.firstTone),
        row("**Beep-to-beep interval**, module bytes (B)", f.intervalBytes),
        row("Beep-to-beep interval, tone play calls (B)", f.intervalCalls),
        row("**Gate drop** byte after its beep's first byte (0)", f.dropVsBeep),
        row("Gate drop byte vs the ideal timeline (t0 + 4.6 s + W + k·B)", f.dropVsTimeline),
        row("**Ready state** byte after beep 4 (10000 ms)", f.ready),
        row("Beeps 1–3: light byte stamped after the tone call (written before it: 0)",
            f.byteAfterCall),
    }
        .join(QLatin1Char('\n'));
}

QString dropTable(const StartFigures& idle, const StartFigures& busy, bool load) {
    QStringList rows = {QStringLiteral("| Measure | load | n | median | p99 | max |"),
                        QStringLiteral("|---|---|---:|---:|---:|---:|")};
    const auto add = [&](const char* label, const Deviations& i, const Deviations& b) {
        rows << summaryRow(QString::fromUtf8(label) + QStringLiteral(" | idle"), summarize(i));
        if (load)
            rows << summaryRow(QString::fromUtf8(label) + QStringLiteral(" | busy"), summarize(b));
    };
    add("Tone's play call → gate-drop byte, gate timing 0–2 (tone first)", idle.playToDropToneFirst,
        busy.playToDropToneFirst);
    add("Tone's play call → gate-drop byte, gate timing 3 (drop first: negative = byte first)",
        idle.playToDropDropFirst, busy.playToDropDropFirst);
    add("Duration of the asynchronous play call", idle.playCall, busy.playCall);
    add("Audio onset of the drop's tone − gate-drop byte", idle.onsetVsDrop, busy.onsetVsDrop);
    add("Audio onset − its play call, every tone", idle.onsetVsCall, busy.onsetVsCall);
    return rows.join(QLatin1Char('\n'));
}

QString speedTable(const std::map<int, Deviations>& idle, const std::map<int, Deviations>& busy) {
    QStringList rows = {QStringLiteral("| Beep speed B | load | n | median | p99 | max |"),
                        QStringLiteral("|---|---|---:|---:|---:|---:|")};
    for (const auto& [speed, values] : idle)
        rows << summaryRow(QStringLiteral("%1 ms | idle").arg(speed), summarize(values));
    for (const auto& [speed, values] : busy)
        rows << summaryRow(QStringLiteral("%1 ms | busy").arg(speed), summarize(values));
    return rows.join(QLatin1Char('\n'));
}

QString startUpCell(const Deviations& values) {
    if (values.empty())
        return QStringLiteral("not measured");
    Deviations sorted = values;
    std::sort(sorted.begin(), sorted.end());
    return QStringLiteral("median %1 ms, max %2 ms (%3 runs)")
        .arg(summarize(values).median, 0, 'f', 0)
        .arg(sorted.back(), 0, 'f', 0)
        .arg(values.size());
}

QString idleCell(const std::optional<ProgramProcess::Idle>& idle) {
    if (!idle)
        return QStringLiteral("not measured");
    return QStringLiteral("%1 % of one core over %2 s; wake-ups: %3")
        .arg(idle->cpuPercent, 0, 'f', 3)
        .arg(idle->seconds, 0, 'f', 0)
        .arg(idle->wakeups);
}

QString processTable(const ProcessFigures& f) {
    QStringList rows = {QStringLiteral("| Measure | figure |"), QStringLiteral("|---|---|")};
    rows << QStringLiteral("| Start-up to the ready state (“A 00” at the module), module on "
                           "port 1 | %1 |")
                .arg(startUpCell(f.startUpModule));
    rows << QStringLiteral("| Start-up to “No Controller  detected”, 16 absent ports | %1 |")
                .arg(startUpCell(f.startUpAbsent));
    rows << QStringLiteral("| Start-up to “No Controller  detected”, 16 ports that never answer "
                           "| %1 |")
                .arg(startUpCell(f.startUpSilent));
    rows << QStringLiteral("| Idle CPU in the ready state, sound server running | %1 |")
                .arg(idleCell(f.idleWithServer));
    rows << QStringLiteral("| Idle CPU in the ready state, no sound server | %1 |")
                .arg(idleCell(f.idleWithoutServer));
    const std::optional<ProgramProcess::Idle>& memory =
        f.idleWithServer ? f.idleWithServer : f.idleWithoutServer;
    if (memory)
        rows << QStringLiteral("| Resident memory after the idle period | %1 MiB (peak %2 MiB), "
                               "%3 threads |")
                    .arg(double(memory->residentKb) / 1024, 0, 'f', 1)
                    .arg(double(memory->peakResidentKb) / 1024, 0, 'f', 1)
                    .arg(memory->threads);
    return rows.join(QLatin1Char('\n'));
}

QString verdict(bool reached) {
    return reached ? QStringLiteral("reached") : QStringLiteral("**missed**");
}

QString targetsTable(const StartFigures& idle, const StartFigures& busy, const ProcessFigures& p,
                     bool load) {
    const Summary interval = summarize(idle.intervalBytes);
    const Summary intervalCalls = summarize(idle.intervalCalls);
    const Summary intervalBusy = summarize(busy.intervalBytes);
    const Summary intervalBusyCalls = summarize(busy.intervalCalls);
    Deviations playToDrop = idle.playToDropToneFirst;
    playToDrop.insert(playToDrop.end(), idle.playToDropDropFirst.begin(),
                      idle.playToDropDropFirst.end());
    const Summary drop = summarize(playToDrop);
    const Summary onset = summarize(idle.onsetVsDrop);
    const auto figure = [](double value, int decimals = 2) {
        return QString::number(value, 'f', decimals);
    };
    QStringList rows = {QStringLiteral("| Target | measured (module bytes) | on the program's "
                                       "thread (tone calls) | |"),
                        QStringLiteral("|---|---|---|---|")};
    const auto row = [&](const QString& target, const QString& measured, const QString& thread,
                         bool reached) {
        rows << QStringLiteral("| %1 | %2 | %3 | %4 |")
                    .arg(target, measured, thread, verdict(reached));
    };
    row(QStringLiteral("Beep-to-beep interval error, idle: median ≤ 0.3 ms"),
        figure(interval.median) + QStringLiteral(" ms"),
        figure(intervalCalls.median) + QStringLiteral(" ms"), std::abs(interval.median) <= 0.3);
    row(QStringLiteral("Beep-to-beep interval error, idle: p99 ≤ 1 ms"),
        figure(interval.p99) + QStringLiteral(" ms"),
        figure(intervalCalls.p99) + QStringLiteral(" ms"), interval.p99 <= 1.0);
    if (load)
        row(QStringLiteral("Beep-to-beep interval error, other core busy: max ≤ 5 ms"),
            figure(intervalBusy.max) + QStringLiteral(" ms"),
            figure(intervalBusyCalls.max) + QStringLiteral(" ms"), intervalBusy.max <= 5.0);
    row(QStringLiteral("Gate-drop byte within 1 ms of its tone's play call (idle, max)"),
        figure(drop.max) + QStringLiteral(" ms (p99 ") + figure(drop.p99) + QStringLiteral(")"),
        QStringLiteral("–"), drop.count > 0 && drop.max <= 1.0);
    if (onset.count > 0)
        row(QStringLiteral("Audio onset within ±5 ms of the gate-drop byte (idle, max)"),
            figure(onset.max) + QStringLiteral(" ms (p99 ") + figure(onset.p99) +
                QStringLiteral(")"),
            QStringLiteral("–"), onset.max <= 5.0);
    if (p.idleWithServer)
        row(QStringLiteral("Idle CPU ≤ 0.3 % of one core (sound server running)"),
            figure(p.idleWithServer->cpuPercent, 3) + QStringLiteral(" %"), QStringLiteral("–"),
            p.idleWithServer->cpuPercent <= 0.3);
    if (p.idleWithoutServer)
        row(QStringLiteral("Idle CPU ≤ 0.3 % of one core (no sound server)"),
            figure(p.idleWithoutServer->cpuPercent, 3) + QStringLiteral(" %"), QStringLiteral("–"),
            p.idleWithoutServer->cpuPercent <= 0.3);
    if (!p.startUpModule.empty()) {
        const double worst = *std::max_element(p.startUpModule.begin(), p.startUpModule.end());
        row(QStringLiteral("Start-up to ready ≤ 0.5 s, module on port 1 (max)"),
            figure(worst, 0) + QStringLiteral(" ms"), QStringLiteral("–"), worst <= 500);
    }
    return rows.join(QLatin1Char('\n'));
}

} // namespace

int main(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Korvane start-timing benchmark"));
    parser.addHelpOption();
    const QCommandLineOption startsOption(
        QStringLiteral("starts"), QStringLiteral("Starts per beep speed and load (default 20)."),
        QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption speedsOption(QStringLiteral("speeds"),
                                          QStringLiteral("Beep speeds (default 100,150,300)."),
                                          QStringLiteral("list"), QStringLiteral("100,150,300"));
    const QCommandLineOption idleOption(QStringLiteral("idle-seconds"),
                                        QStringLiteral("Idle CPU period (default 60)."),
                                        QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption startUpsOption(QStringLiteral("startups"),
                                            QStringLiteral("Start-up runs (default 10)."),
                                            QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption noAudioOption(QStringLiteral("no-audio"),
                                           QStringLiteral("No private sound server."));
    const QCommandLineOption noLoadOption(
        QStringLiteral("no-load"), QStringLiteral("Skip the runs with the other core busy."));
    const QCommandLineOption revisionOption(
        QStringLiteral("revision"), QStringLiteral("The program's revision, for the report."),
        QStringLiteral("text"));
    const QCommandLineOption outOption(
        QStringLiteral("out"), QStringLiteral("Report file (default docs/timing.md)."),
        QStringLiteral("file"), QStringLiteral(KORVANE_SOURCE_DIR "/docs/timing.md"));
    parser.addOptions({startsOption, speedsOption, idleOption, startUpsOption, noAudioOption,
                       noLoadOption, revisionOption, outOption});
    parser.process(app);
    Options options;
    options.starts = std::max(1, parser.value(startsOption).toInt());
    options.speeds.clear();
    for (const QString& speed : parser.value(speedsOption).split(QLatin1Char(',')))
        options.speeds << speed.toInt();
    options.idleSeconds = std::max(1, parser.value(idleOption).toInt());
    options.startUps = std::max(1, parser.value(startUpsOption).toInt());
    options.audio = !parser.isSet(noAudioOption) && test::PulseServer::isInstalled();
    options.load = !parser.isSet(noLoadOption);
    options.out = parser.value(outOption);
    options.revision = parser.value(revisionOption);

    // From here on this process and its children look for the private server only.
    test::PulseServer pulse;
    test::PulseServer* server = options.audio ? &pulse : nullptr;

    QTemporaryDir folder;
    if (!folder.isValid() || !prepareFolder(QStringLiteral(KORVANE_SOURCE_DIR), folder.path())) {
        progress(QStringLiteral("cannot prepare the program folder"));
        return 2;
    }
    QDir::setCurrent(folder.path()); // the sounds are looked up in the working folder
    const double watchLengthMs = soundLengthMs(folder.path(), QStringLiteral("Watch_the_gate.wav"));
    const QString loadAtStart = loadAverage();
    const QDateTime began = QDateTime::currentDateTime();
    const int loads = options.load ? 2 : 1;
    progress(QStringLiteral("korvane-bench: %1 starts × %2 beep speeds × %3 loads, ~%4 min")
                 .arg(options.starts)
                 .arg(options.speeds.size())
                 .arg(loads)
                 .arg((options.starts * options.speeds.size() * loads * 21 +
                       2 * options.idleSeconds + 60) /
                      60));

    // The instrument first: how late a byte is stamped, whatever the program does.
    progress(QStringLiteral("measurement floor: pty delivery"));
    const Deviations floorIdle = ptyDeliveryMs(200, 10);
    const Deviations sleepIdle = sleepOvershootMs(200, 20);
    Deviations floorBusy, sleepBusy;
    if (options.load) {
        BusyLoad busy;
        floorBusy = ptyDeliveryMs(200, 10);
        sleepBusy = sleepOvershootMs(200, 20);
    }

    const ProgramProcess program(QDir(QCoreApplication::applicationDirPath())
                                     .filePath(QStringLiteral("korvane-bench-program")),
                                 folder.path());
    const ProcessFigures process = measureProcess(program, server, options);

    StartBench bench(folder.path());
    QString error;
    if (!bench.load(&error)) {
        progress(QStringLiteral("korvane-bench: ") + error);
        return 1;
    }
    ToneFinder tones(folder.path());
    StartFigures idle, busyFigures;
    std::map<int, Deviations> idleBySpeed, busyBySpeed;
    const MachineDuring idleMachine;
    for (int speed : options.speeds) {
        if (!runGroup(bench, server, tones, speed, options.starts, false, watchLengthMs, idle,
                      idleBySpeed))
            return 1;
    }
    const QString idleConditions = idleMachine.describe();
    QString busyConditions;
    if (options.load) {
        const MachineDuring busyMachine;
        BusyLoad busy;
        for (int speed : options.speeds) {
            if (!runGroup(bench, server, tones, speed, options.starts, true, watchLengthMs,
                          busyFigures, busyBySpeed))
                return 1;
        }
        busyConditions = busyMachine.describe();
    }

    const QString dispatcher =
        QString::fromLatin1(QAbstractEventDispatcher::instance()->metaObject()->className());
    const int totalStarts = options.starts * int(options.speeds.size());
    QStringList speeds;
    for (int speed : options.speeds)
        speeds << QString::number(speed);
    QString report;
    const auto say = [&](const QString& text) { report += text + QLatin1Char('\n'); };
    say(QStringLiteral("# Start timing\n"));
    say(QStringLiteral("Measured by `scripts/bench` on %1, %2 minutes of measuring. Nothing in "
                       "the program was changed or shortened for it.\n")
            .arg(began.toString(QStringLiteral("yyyy-MM-dd HH:mm")))
            .arg(began.secsTo(QDateTime::currentDateTime()) / 60));
    if (!options.revision.isEmpty())
        say(QStringLiteral("Program revision: %1.\n").arg(options.revision));
    say(QStringLiteral("## Machine\n"));
    say(QStringLiteral("- CPU: %1, %2 cores (`nproc`)")
            .arg(cpuModel())
            .arg(QThread::idealThreadCount()));
    say(QStringLiteral("- %1, Qt %2 (event dispatcher %3), platform plugin `%4`")
            .arg(kernel(), QString::fromLatin1(qVersion()), dispatcher,
                 QGuiApplication::platformName()));
    say(QStringLiteral("- Load average when the run began: %1. The machine is shared: “idle” "
                       "means no load of the benchmark's own, not an empty machine.")
            .arg(loadAtStart));
    say(QStringLiteral("- During the idle starts: %1.").arg(idleConditions));
    if (options.load)
        say(QStringLiteral("- During the busy starts: %1.").arg(busyConditions));
    say(QStringLiteral("- Sound: %1\n")
            .arg(server ? QStringLiteral("the real PulseAudio player on a private PulseAudio "
                                         "server with a null sink, recorded from its monitor")
                        : QStringLiteral("no sound server (the player is silent; the "
                                         "synchronous play still takes the file's length)")));
    say(QStringLiteral("## How it is measured\n"));
    say(QStringLiteral(
            "The real main window (`frmUSB_Main`, offscreen) with its real timers and the real "
            "sound player runs complete starts against a virtual I/O module on a "
            "pseudo-terminal, found by discovery on port 1 and set up from the sample "
            "`config.dat`. For each start the benchmark clicks the start button to raise the "
            "gate and clicks again the moment the 4 s hold-off ends; from there the program's "
            "own timers run the start to its ready state, and every read the program makes goes to "
            "the module as in service (nobody presses the external button or breaks the finish "
            "beam). Every command byte is stamped on "
            "arrival at the module (CLOCK_MONOTONIC); every sound call is stamped on the "
            "program's thread by a wrapper around the real player. Starts run one after the "
            "other, never overlapping.\n\n"
            "Each figure rests on %1 starts per load: %2 starts at each beep speed B = %3 ms, "
            "the gate timing going round 0, 1, 2, 3 (so %4 starts per gate timing and speed). "
            "Beep-to-beep intervals give three values per start. *Deviation* = measured − "
            "ideal in ms; the median keeps its sign (+ = late), p99 (nearest rank) and max are "
            "of its size. “Busy” runs have a process of the benchmark's own spinning on one "
            "core the whole time. W = %5 ms, the length of “Watch_the_gate.wav”; t0 = the "
            "start click (“ok_riders.wav” call).\n")
            .arg(totalStarts)
            .arg(options.starts)
            .arg(speeds.join(QStringLiteral(", ")))
            .arg(double(options.starts) / 4, 0, 'f', 0)
            .arg(watchLengthMs, 0, 'f', 1));
    say(QStringLiteral("## Targets\n"));
    say(targetsTable(idle, busyFigures, process, options.load) + QLatin1Char('\n'));
    say(QStringLiteral("## The start against its ideal timeline: deviation in ms\n"));
    say(QStringLiteral("### Idle\n"));
    say(timelineTable(idle) + QLatin1Char('\n'));
    if (options.load) {
        say(QStringLiteral("### Other core busy\n"));
        say(timelineTable(busyFigures) + QLatin1Char('\n'));
    }
    say(QStringLiteral("## Beep-to-beep interval error by beep speed (module bytes, ms)\n"));
    say(speedTable(idleBySpeed, busyBySpeed) + QLatin1Char('\n'));
    say(QStringLiteral("## Gate drop, its tone and the audio (ms)\n"));
    say(dropTable(idle, busyFigures, options.load) + QLatin1Char('\n'));
    say(QStringLiteral(
        "Audio onsets come from the recording of the null sink's monitor, each tone's own "
        "fade-in taken off. The recording is placed on the monotonic clock from when its blocks "
        "arrive, which puts it early by up to about one block of the sink (a few ms); the spread "
        "between starts within one recording is exact.\n"));
    say(QStringLiteral("## The program as a process\n"));
    say(processTable(process) + QLatin1Char('\n'));
    say(QStringLiteral(
        "Start-up is measured from spawning `korvane-bench-program` (the program as `main.cpp` "
        "builds it, on the benchmark's ports instead of the machine's; message boxes are "
        "reported instead of shown) to the ready state's byte at the module. Idle CPU is "
        "utime + stime of that process from /proc over the period, after 5 s in the ready "
        "state; it includes the port-B poll every 500 ms.\n"));
    say(QStringLiteral("## Measurement floor\n"));
    say(QStringLiteral("| What the machine and the instrument add | load | n | median | p99 | "
                       "max |\n|---|---|---:|---:|---:|---:|"));
    say(summaryRow(QStringLiteral("Two-byte write handed to the kernel → stamped at the virtual "
                                  "module | idle"),
                   summarize(floorIdle), 3));
    if (options.load)
        say(summaryRow(QStringLiteral("Two-byte write handed to the kernel → stamped at the "
                                      "virtual module | busy"),
                       summarize(floorBusy), 3));
    say(summaryRow(QStringLiteral("A thread's wake-up after a 20 ms clock_nanosleep, lateness | "
                                  "idle"),
                   summarize(sleepIdle), 3));
    if (options.load)
        say(summaryRow(QStringLiteral("A thread's wake-up after a 20 ms clock_nanosleep, "
                                      "lateness | busy"),
                       summarize(sleepBusy), 3));
    say(QStringLiteral(
        "\nEvery byte stamp above includes the first: the pseudo-terminal hands written bytes "
        "on through a kernel worker, then the module's thread must wake. A real module at "
        "9600 baud adds about 1 ms per byte on the wire instead. The tone play calls, stamped "
        "on the program's own thread, show the timers without either. The second is the "
        "best any timer on this machine can do.\n"));
    say(QStringLiteral("## Where the time goes\n"));
    say(QStringLiteral(
        "- Qt rounds the wait for its next timer up to a whole millisecond (also with "
        "`Qt::PreciseTimer`), so every timer of the chain fires 0–1 ms after its due time, "
        "about 0.5 ms on average, on top of the wake-up above. Each beep step starts the next "
        "timer when it runs, so every beep interval carries one such delay; they do not add "
        "up over the four beeps, but they do along the whole chain from t0.\n"
        "- The steps that arm their timer after a sound call (“ok_riders.wav” before "
        "`Riders_ready`, “Riders_ready.wav” before `Watch_the_gate`) add that call's "
        "duration: the player hands the whole decoded sound to the server in one write.\n"
        "- A read of port B blocks the program's thread for a round trip to the module; a "
        "step falling due meanwhile fires after it. With a real module a round trip is at "
        "least two bytes at 9600 baud (about 2 ms) plus the USB serial adapter's own "
        "latency.\n"
        "- The machine is shared: a step late by a few ms now and then comes from other work "
        "holding both cores (tens of ms when the machine is very busy), as the measurement "
        "floor shows.\n"));
    say(QStringLiteral("## Read timeouts\n"));
    say(QStringLiteral(
            "During the %1 starts the program showed %2 “Read Timeout” message(s) (caught, not "
            "shown). %3 reply byte(s) that came after a read's wait were still in the receive "
            "buffer when a start had ended; they were drained before the next start, so that "
            "every start begins with the link as it is after a clean start-up.\n")
            .arg(totalStarts * loads)
            .arg(bench.messages())
            .arg(bench.staleRepliesDrained()));
    QDir().mkpath(QFileInfo(options.out).absolutePath());
    QSaveFile file(options.out);
    if (!file.open(QIODevice::WriteOnly) || file.write(report.toUtf8()) < 0 || !file.commit())
        progress(QStringLiteral("cannot write ") + options.out);
    std::fputs(qPrintable(report), stdout);
    return 0;
}
