#include "bench/program_process.h"

#include "sim/virtual_module.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <ctime>
#include <list>
#include <map>
#include <unistd.h>

namespace korvane::bench {

namespace {

constexpr int Start_Limit_Ms = 10000;
constexpr int Settle_Ms = 5000;
constexpr qint64 Ns_Per_Ms = 1'000'000;

using sim::monotonicNs;

// The program, ended (killed) when this goes out of scope.
class Running {
public:
    Running(const QString& program, const QStringList& arguments) {
        spawnNs = monotonicNs();
        process.start(program, arguments);
        process.waitForStarted(Start_Limit_Ms);
    }
    ~Running() {
        process.kill();
        process.waitForFinished(Start_Limit_Ms);
    }
    // The stamp of the first output line starting with `word`.
    std::optional<qint64> stampOf(const QString& word) {
        const qint64 deadline = monotonicNs() + Start_Limit_Ms * Ns_Per_Ms;
        while (monotonicNs() < deadline) {
            while (process.canReadLine()) {
                const QStringList parts = QString::fromUtf8(process.readLine()).split(' ');
                if (parts.size() >= 2 && parts[0] == word)
                    return parts[1].toLongLong();
            }
            if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
                return std::nullopt;
        }
        return std::nullopt;
    }
    QProcess process;
    qint64 spawnNs = 0;
};

std::optional<qint64> readyStampAt(const sim::VirtualModule& module) {
    const qint64 deadline = monotonicNs() + Start_Limit_Ms * Ns_Per_Ms;
    while (monotonicNs() < deadline) {
        for (const sim::VirtualModule::Command& command : module.commands()) {
            if (command.bytes == QByteArray("A\0", 2))
                return command.atNs;
        }
        QThread::msleep(1);
    }
    return std::nullopt;
}

// utime + stime of a process, in seconds.
std::optional<double> cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = stat.readAll();
    // Fields after the command name in parentheses; utime and stime are fields 14 and 15.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return std::nullopt;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// A field of /proc/<pid>/status, or of one of its threads'.
qint64 statusField(qint64 pid, const QByteArray& name, const QString& task = {}) {
    QFile status(task.isEmpty() ? QStringLiteral("/proc/%1/status").arg(pid)
                                : QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(task));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// Context switches of each thread by name: how often each one wakes up.
std::map<QString, qint64> switchesByThread(qint64 pid) {
    std::map<QString, qint64> switches;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        const QString name = QString::fromUtf8(comm.readAll()).trimmed();
        switches[name] += statusField(pid, "voluntary_ctxt_switches", task) +
                          statusField(pid, "nonvoluntary_ctxt_switches", task);
    }
    return switches;
}

std::map<QString, double> wakeupRates(const std::map<QString, qint64>& before,
                                      const std::map<QString, qint64>& after, double seconds) {
    std::map<QString, double> rates;
    for (const auto& [name, count] : after) {
        const auto earlier = before.find(name);
        const qint64 base = earlier == before.end() ? 0 : earlier->second;
        rates[name] = double(count - base) / seconds;
    }
    return rates;
}

} // namespace

ProgramProcess::ProgramProcess(QString program, QString folder)
    : program_(std::move(program))
    , folder_(std::move(folder)) {}

std::optional<double> ProgramProcess::startUpWithModuleMs(sim::LinePacing pacing) const {
    QTemporaryDir ports;
    sim::VirtualModule module(ports.filePath(QStringLiteral("ttyUSB0")));
    module.setPacing(pacing);
    if (!module.start())
        return std::nullopt;
    Running program(program_, {folder_, module.devicePath()});
    const std::optional<qint64> ready = readyStampAt(module);
    if (!ready)
        return std::nullopt;
    return double(*ready - program.spawnNs) / Ns_Per_Ms;
}

std::optional<double> ProgramProcess::startUpWithoutModuleMs(int silentPorts) const {
    QTemporaryDir ports;
    std::list<sim::VirtualModule> devices;
    QStringList arguments = {folder_};
    for (int n = 1; n <= silentPorts; ++n) {
        sim::VirtualModule& device =
            devices.emplace_back(ports.filePath(QStringLiteral("ttyUSB%1").arg(n)));
        device.setSilent(true);
        if (!device.start())
            return std::nullopt;
        arguments << device.devicePath();
    }
    Running program(program_, arguments);
    const std::optional<qint64> message = program.stampOf(QStringLiteral("message"));
    if (!message)
        return std::nullopt;
    return double(*message - program.spawnNs) / Ns_Per_Ms;
}

std::optional<ProgramProcess::Idle> ProgramProcess::idleInReadyState(int seconds) const {
    QTemporaryDir ports;
    sim::VirtualModule module(ports.filePath(QStringLiteral("ttyUSB0")));
    if (!module.start())
        return std::nullopt;
    Running program(program_, {folder_, module.devicePath()});
    if (!readyStampAt(module))
        return std::nullopt;
    const qint64 pid = program.process.processId();
    QThread::msleep(Settle_Ms);
    const std::optional<double> before = cpuSeconds(pid);
    const std::map<QString, qint64> switchesBefore = switchesByThread(pid);
    const qint64 fromNs = monotonicNs();
    QThread::sleep(seconds);
    const std::optional<double> after = cpuSeconds(pid);
    const std::map<QString, qint64> switchesAfter = switchesByThread(pid);
    const double wall = double(monotonicNs() - fromNs) / 1e9;
    if (!before || !after)
        return std::nullopt;
    Idle idle;
    idle.seconds = wall;
    idle.cpuPercent = 100.0 * (*after - *before) / wall;
    idle.residentKb = statusField(pid, "VmRSS");
    idle.peakResidentKb = statusField(pid, "VmHWM");
    idle.threads = int(statusField(pid, "Threads"));
    idle.wakeupsPerSecond = wakeupRates(switchesBefore, switchesAfter, wall);
    return idle;
}

} // namespace korvane::bench
