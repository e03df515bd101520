#include "bench/bench.h"

#include "io/module_protocol.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <list>

using namespace Qt::StringLiterals;

namespace korvane::bench {

namespace {

constexpr int Limit_Ms = 10000; // for the ready state or the message

// What the program is started with: a virtual module on port 1 or none, and ports that
// exist but never answer.
struct PortSetup {
    bool module = true;
    sim::LinePacing pacing = {};
    int replyDelayMs = 0; // every reply of the module this late
    int silentPorts = 0;  // after the module's port
};

// The program on its ports and the virtual devices behind them, killed when this goes.
class Running {
public:
    Running(const QString& program, const QString& folder, const PortSetup& ports) {
        QStringList arguments = {folder};
        for (int n = 0; n < ports.silentPorts + ports.module; ++n) {
            sim::VirtualModule& device = devices.emplace_back(dir.filePath(u"ttyUSB%1"_s.arg(n)));
            device.setSilent(!ports.module || n > 0);
            device.setPacing(ports.pacing);
            device.setReplyDelayMs(ports.replyDelayMs);
            arguments << device.devicePath();
            started = device.start() && started;
        }
        spawnNs = sim::monotonicNs();
        process.start(program, arguments);
        started = process.waitForStarted() && started;
    }
    ~Running() {
        process.kill();
        process.waitForFinished();
    }
    // Since the spawn, in ms: the ready state's byte at the module, once it has come.
    std::optional<double> readyMs() const {
        for (const sim::VirtualModule::Command& command : devices.front().commands()) {
            if (command.bytes == protocol::writePortA(0x00))
                return double(command.atNs - spawnNs) / Ns_Per_Ms;
        }
        return std::nullopt;
    }
    // Since the spawn, in ms: "No Controller  detected", once the program has said it
    // ("message <ns> <text>"); waits a few ms for its output.
    std::optional<double> noControllerMs() {
        process.waitForReadyRead(5);
        while (process.canReadLine()) {
            const QList<QByteArray> parts = process.readLine().split(' ');
            if (parts.size() >= 3 && parts[0] == "message" && parts[2] == "No")
                noController = double(parts[1].toLongLong() - spawnNs) / Ns_Per_Ms;
        }
        return noController;
    }
    bool waiting() const {
        return started && sim::monotonicNs() < spawnNs + qint64(Limit_Ms * Ns_Per_Ms);
    }

    QTemporaryDir dir;
    std::list<sim::VirtualModule> devices;
    QProcess process;
    qint64 spawnNs = 0;
    bool started = true;
    std::optional<double> noController;
};

double statusField(qint64 pid, const QByteArray& name) {
    QFile status(u"/proc/%1/status"_s.arg(pid));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ')[0].toDouble();
    }
    return 0;
}

// One start-up: from the spawn to the ready state's "A 00" at the module, and to the
// "No Controller  detected" message; each empty when it did not come in time.
struct StartUp {
    std::optional<double> readyMs;
    std::optional<double> noControllerMs;
};
StartUp startUp(const QString& program, const QString& folder, const PortSetup& ports) {
    Running running(program, folder, ports);
    StartUp result;
    while (running.waiting() && !(ports.module ? result.readyMs : result.noControllerMs)) {
        if (ports.module)
            result.readyMs = running.readyMs();
        result.noControllerMs = running.noControllerMs();
    }
    result.noControllerMs = running.noControllerMs(); // one said with the ready state
    return result;
}

// The program in the ready state with a module on port 1, after `settleSeconds`: its CPU
// (all its threads) and each thread's wake-ups over `seconds`, and its memory.
void addIdleFigures(const QString& program, const QString& folder, int seconds, int settleSeconds,
                    Group& g, const QString& name) {
    Running running(program, folder, {});
    while (running.waiting() && !running.readyMs())
        QThread::msleep(5);
    check(running.readyMs().has_value(), u"the program did not reach its ready state"_s);
    const auto pid = pid_t(running.process.processId());
    QThread::sleep(settleSeconds);
    double cpu = 0;
    for (const auto& [thread, rate] : threadRates(pid, seconds)) {
        cpu += rate.cpuPercent;
        g.set(name + u"-wakeups:"_s + thread, rate.wakeups);
    }
    g.set(name + u"-cpu"_s, cpu);
    g.set(u"resident-mib"_s, statusField(pid, "VmRSS") / 1024);
    g.set(u"threads"_s, statusField(pid, "Threads"));
}

} // namespace

Group processFigures(const QString& program, const QString& folder, test::PulseServer* server,
                     const Counts& counts) {
    Group g{u"process"_s, u"process"_s, {}, u"figure"_s};
    Samples s;
    // With a module the time to its ready state (the limit when it never came), without one
    // the time to the message.
    const auto startUps = [&](const QString& key, const PortSetup& ports, bool busy) {
        const int runs = counts[busy ? u"busy-startups"_s : u"startups"_s];
        progress(u"start-ups: %1, %2 runs"_s.arg(key).arg(runs));
        const BusyLoad load(busy);
        double missed = 0, boxes = 0;
        for (int i = 0; i < runs; ++i) {
            const StartUp up = startUp(program, folder, ports);
            missed += ports.module && !up.readyMs;
            boxes += up.noControllerMs.has_value();
            s[key].push_back((ports.module ? up.readyMs : up.noControllerMs).value_or(Limit_Ms));
        }
        if (ports.module) {
            g.set(key + u"-missed"_s, missed);
            g.set(key + u"-boxes"_s, boxes);
        }
    };
    startUps(u"startup-module"_s, {}, false);
    startUps(u"startup-paced"_s, {true, {true, 16}}, false);
    startUps(u"startup-absent"_s, {false}, false);
    startUps(u"startup-silent"_s, {false, {}, 0, 16}, false);
    startUps(u"startup-slow"_s, {true, {}, 40}, false);
    startUps(u"startup-busy"_s, {true, {true, 16}}, true);
    g.add(s);
    for (const bool withServer : {true, false}) {
        const QString name = withServer ? u"idle-server"_s : u"idle-none"_s;
        progress(u"%1 for %2 s"_s.arg(name).arg(counts[u"idle-seconds"_s]));
        if (!withServer || (server && server->start()))
            addIdleFigures(program, folder, counts[u"idle-seconds"_s], counts[u"settle-seconds"_s],
                           g, name);
        if (withServer && server)
            server->stop();
    }
    return g;
}

} // namespace korvane::bench
