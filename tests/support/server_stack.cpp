#include "tests/support/server_stack.h"

#include "tests/support/child_process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace korvane::test {

namespace {

constexpr int Start_Limit_Ms = 10000;
constexpr int Retry_Ms = 50;
constexpr qint64 Log_Tail_Bytes = 600;

// A session bus of the server's own, for WirePlumber (which will not run without one)
// and PipeWire: no services to activate, so it starts nothing by itself.
constexpr char Bus_Config[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// WirePlumber would open the machine's sound cards (and cameras, and Bluetooth devices):
// the private server has the null sink only.
constexpr char No_Devices_Main[] = "alsa_monitor.enabled = false\n"
                                   "v4l2_monitor.enabled = false\n"
                                   "libcamera_monitor.enabled = false\n";
constexpr char No_Devices_Bluetooth[] = "bluez_monitor.enabled = false\n";

struct Requirement {
    const char* program;
    const char* package;
};

std::vector<Requirement> requirements(SoundServerKind kind) {
    if (kind == SoundServerKind::PulseAudio) {
        return {{"pulseaudio", "pulseaudio"},
                {"pactl", "pulseaudio-utils"},
                {"parec", "pulseaudio-utils"}};
    }
    return {{"pipewire", "pipewire"},
            {"wireplumber", "wireplumber"},
            {"pipewire-pulse", "pipewire-pulse"},
            {"dbus-daemon", "dbus-daemon"},
            {"pactl", "pulseaudio-utils"},
            {"parec", "pulseaudio-utils"}};
}

bool writeText(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

SoundServerKind chosenSoundServer() {
    const QByteArray name = qgetenv("KORVANE_SOUND_SERVER");
    if (name.isEmpty() || name == "pulseaudio") {
        return SoundServerKind::PulseAudio;
    }
    if (name != "pipewire") {
        qFatal("KORVANE_SOUND_SERVER=%s: the sound server is pulseaudio or pipewire",
               name.constData());
    }
    return SoundServerKind::PipeWire;
}

QString serverName(SoundServerKind kind) {
    return kind == SoundServerKind::PulseAudio ? QStringLiteral("PulseAudio")
                                               : QStringLiteral("PipeWire");
}

QString missingPrograms(SoundServerKind kind) {
    QStringList programs;
    QStringList packages;
    for (const Requirement& r : requirements(kind)) {
        if (QStandardPaths::findExecutable(QLatin1String(r.program)).isEmpty()) {
            programs << QLatin1String(r.program);
            if (!packages.contains(QLatin1String(r.package))) {
                packages << QLatin1String(r.package);
            }
        }
    }
    if (programs.isEmpty()) {
        return {};
    }
    return QStringLiteral("%1 cannot be started: %2 not installed (Debian packages: %3)")
        .arg(serverName(kind), programs.join(QStringLiteral(", ")),
             packages.join(QStringLiteral(" ")));
}

ServerStack::ServerStack(SoundServerKind kind, const QString& folder)
    : kind_(kind)
    , folder_(folder) {}

ServerStack::~ServerStack() {
    stop();
}

QString ServerStack::runtimePath() const {
    return QDir(folder_).filePath(QStringLiteral("runtime"));
}

QString ServerStack::homePath() const {
    return QDir(folder_).filePath(QStringLiteral("home"));
}

QString ServerStack::socketPath() const {
    return runtimePath() + QStringLiteral("/pulse/native");
}

QString ServerStack::logOf(const QString& program) const {
    return QDir(folder_).filePath(program + QStringLiteral(".log"));
}

QProcessEnvironment ServerStack::serverEnvironment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QLatin1String("PULSE_")) ||
            name.startsWith(QLatin1String("PIPEWIRE_")) ||
            name.startsWith(QLatin1String("WIREPLUMBER_")) ||
            (name.startsWith(QLatin1String("XDG_")) && name.endsWith(QLatin1String("_HOME")))) {
            environment.remove(name);
        }
    }
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(QLatin1String(name));
    }
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimePath());
    environment.insert(QStringLiteral("HOME"), homePath());
    if (kind_ == SoundServerKind::PipeWire) {
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + runtimePath() + QStringLiteral("/bus"));
    }
    return environment;
}

QProcessEnvironment ServerStack::clientEnvironment() const {
    QProcessEnvironment environment = serverEnvironment();
    environment.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + socketPath());
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    return environment;
}

bool ServerStack::start(QString* error) {
    if (isRunning()) {
        return true;
    }
    // A runtime folder as new as a login's; the home keeps what the servers stored.
    QDir(runtimePath()).removeRecursively();
    for (const QString& folder : {runtimePath(), homePath()}) {
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const bool pulseAudio = kind_ == SoundServerKind::PulseAudio;
    const bool started = pulseAudio ? startPulseAudio(error) : startPipeWire(error);
    if (!started || !waitForServer(error) || (!pulseAudio && !addGateSink(error)) ||
        !makeGateTheDefault(error)) {
        if (error != nullptr) {
            *error += endedProcesses();
        }
        stop();
        return false;
    }
    return true;
}

std::vector<pid_t> ServerStack::processIds() const {
    std::vector<pid_t> ids;
    for (const Process& process : processes_) {
        ids.push_back(process.pid);
    }
    return ids;
}

// Which of the server's processes have ended, and what they printed: the likely cause
// of a server that does not come up.
QString ServerStack::endedProcesses() {
    QString report;
    for (const Process& process : processes_) {
        if (childHasEnded(process.pid)) {
            report += QStringLiteral("; %1 ended, printing: %2")
                          .arg(process.program, logTail(process.program));
        }
    }
    return report;
}

bool ServerStack::startPulseAudio(QString* error) {
    // As root it warns but runs as a user's server.
    return startProcess(QStringLiteral("pulseaudio"),
                        {QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                         QStringLiteral("--use-pid-file=no"), QStringLiteral("--log-target=stderr"),
                         QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
                         QStringLiteral("--load=module-native-protocol-unix"),
                         QStringLiteral("--load=module-null-sink sink_name=gate")},
                        serverEnvironment(), error) &&
           waitForSocket(socketPath(), QStringLiteral("pulseaudio"), error);
}

bool ServerStack::startPipeWire(QString* error) {
    const QString config = QDir(homePath()).filePath(QStringLiteral(".config/wireplumber"));
    if (!writeText(config + QStringLiteral("/main.lua.d/51-no-devices.lua"), No_Devices_Main) ||
        !writeText(config + QStringLiteral("/bluetooth.lua.d/51-no-devices.lua"),
                   No_Devices_Bluetooth)) {
        if (error != nullptr) {
            *error = QStringLiteral("cannot write WirePlumber's settings in ") + config;
        }
        return false;
    }
    const QProcessEnvironment environment = serverEnvironment();
    return startSessionBus(error) &&
           startProcess(QStringLiteral("pipewire"), {}, environment, error) &&
           waitForSocket(runtimePath() + QStringLiteral("/pipewire-0"), QStringLiteral("pipewire"),
                         error) &&
           startProcess(QStringLiteral("wireplumber"), {}, environment, error) &&
           startProcess(QStringLiteral("pipewire-pulse"), {}, environment, error) &&
           waitForSocket(socketPath(), QStringLiteral("pipewire-pulse"), error);
}

// pipewire-pulse makes the null sink as PulseAudio's module does, monitor and all.
bool ServerStack::addGateSink(QString* error) const {
    return runCommand(QStringLiteral("pactl"),
                      {QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                       QStringLiteral("sink_name=gate")},
                      clientEnvironment(), error);
}

bool ServerStack::startSessionBus(QString* error) {
    const QString bus = runtimePath() + QStringLiteral("/bus");
    const QString config = QDir(folder_).filePath(QStringLiteral("bus.conf"));
    if (!writeText(config, QString::fromLatin1(Bus_Config).arg(bus).toUtf8())) {
        if (error != nullptr) {
            *error = QStringLiteral("cannot write ") + config;
        }
        return false;
    }
    return startProcess(QStringLiteral("dbus-daemon"),
                        {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                         QStringLiteral("--nopidfile")},
                        serverEnvironment(), error) &&
           waitForSocket(bus, QStringLiteral("dbus-daemon"), error);
}

bool ServerStack::startProcess(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment, QString* error) {
    const int log = open(QFile::encodeName(logOf(program)).constData(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = spawnChild(program, arguments, environment, log, log, error);
    if (log >= 0) {
        close(log);
    }
    if (pid <= 0) {
        return false;
    }
    processes_.push_back({pid, program});
    return true;
}

// Waits for a server's socket.
bool ServerStack::waitForSocket(const QString& path, const QString& program, QString* error) const {
    if (waitForPath(path, Start_Limit_Ms)) {
        return true;
    }
    if (error != nullptr) {
        *error = QStringLiteral("%1 made no socket at %2 within %3 s")
                     .arg(program, path)
                     .arg(Start_Limit_Ms / 1000);
    }
    return false;
}

QString ServerStack::logTail(const QString& program) const {
    QFile log(logOf(program));
    if (!log.open(QIODevice::ReadOnly)) {
        return {};
    }
    log.seek(std::max<qint64>(0, log.size() - Log_Tail_Bytes));
    return QString::fromLocal8Bit(log.readAll().trimmed());
}

bool ServerStack::waitForServer(QString* error) const {
    for (int waited = 0;; waited += Retry_Ms) {
        if (runCommand(QStringLiteral("pactl"), {QStringLiteral("info")}, clientEnvironment(),
                       waited >= Start_Limit_Ms ? error : nullptr)) {
            return true;
        }
        if (waited >= Start_Limit_Ms) {
            return false;
        }
        sleepMs(Retry_Ms);
    }
}

// The sink may appear, and the session manager take over the choice of default, a little
// after the server answers: ask until the server says gate is the default.
bool ServerStack::makeGateTheDefault(QString* error) const {
    const QProcessEnvironment environment = clientEnvironment();
    QByteArray chosen;
    for (int waited = 0; waited < Start_Limit_Ms; waited += Retry_Ms) {
        if (runCommand(QStringLiteral("pactl"),
                       {QStringLiteral("set-default-sink"), QStringLiteral("gate")}, environment,
                       nullptr) &&
            runCommand(QStringLiteral("pactl"), {QStringLiteral("get-default-sink")}, environment,
                       nullptr, &chosen) &&
            chosen.trimmed() == "gate") {
            return true;
        }
        sleepMs(Retry_Ms);
    }
    if (error != nullptr) {
        *error = QStringLiteral("the null sink gate did not become the default sink (it is %1)")
                     .arg(chosen.trimmed().isEmpty() ? QStringLiteral("none")
                                                     : QString::fromLocal8Bit(chosen.trimmed()));
    }
    return false;
}

void ServerStack::stop() {
    while (!processes_.empty()) {
        stopChild(processes_.back().pid);
        processes_.pop_back();
    }
}

} // namespace korvane::test
