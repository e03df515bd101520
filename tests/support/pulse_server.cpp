#include "tests/support/pulse_server.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvane::test {

namespace {

constexpr qint64 Ns_Per_Second = 1'000'000'000;
constexpr int Settle_Ms = 2500;
constexpr int Command_Limit_Ms = 10000;

bool runCommand(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& environment, QString* error,
                QByteArray* output = nullptr) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(Command_Limit_Ms) ||
        process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        if (error != nullptr) {
            *error = QStringLiteral("%1 %2 failed: %3")
                         .arg(program, arguments.join(QLatin1Char(' ')),
                              QString::fromLocal8Bit(process.readAllStandardError()).trimmed());
        }
        return false;
    }
    if (output != nullptr) {
        *output = process.readAllStandardOutput();
    }
    return true;
}

// A process that is gone or only a zombie (nobody may reap a daemon here).
bool hasExited(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || line.mid(close + 2, 1) == "Z";
}

void waitForExit(pid_t pid, int limitMs) {
    for (int waited = 0; waited < limitMs && !hasExited(pid); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

Recording::Recording(std::vector<float> samples, qint64 firstSampleNs)
    : samples_(std::move(samples))
    , firstSampleNs_(firstSampleNs) {}

qint64 Recording::timeOf(std::size_t index) const {
    return firstSampleNs_ + static_cast<qint64>(index) * Ns_Per_Second / Rate;
}

std::size_t Recording::indexAt(qint64 ns) const {
    const qint64 index = (ns - firstSampleNs_) * Rate / Ns_Per_Second;
    return static_cast<std::size_t>(std::clamp<qint64>(index, 0, qint64(samples_.size())));
}

std::optional<qint64> Recording::firstAbove(float level, qint64 fromNs, qint64 toNs) const {
    for (std::size_t i = indexAt(fromNs), end = indexAt(toNs); i < end; ++i) {
        if (std::abs(samples_[i]) > level) {
            return timeOf(i);
        }
    }
    return std::nullopt;
}

std::optional<qint64> Recording::lastAbove(float level, qint64 fromNs, qint64 toNs) const {
    for (std::size_t i = indexAt(toNs), begin = indexAt(fromNs); i > begin; --i) {
        if (std::abs(samples_[i - 1]) > level) {
            return timeOf(i - 1);
        }
    }
    return std::nullopt;
}

double Recording::rms(qint64 fromNs, qint64 toNs) const {
    const std::size_t begin = indexAt(fromNs);
    const std::size_t end = indexAt(toNs);
    if (end <= begin) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        sum += double(samples_[i]) * samples_[i];
    }
    return std::sqrt(sum / double(end - begin));
}

double Recording::toneFrequency(qint64 fromNs, qint64 toNs) const {
    const std::size_t begin = indexAt(fromNs);
    const std::size_t end = indexAt(toNs);
    std::size_t crossings = 0;
    std::optional<std::size_t> first;
    std::size_t last = 0;
    for (std::size_t i = begin + 1; i < end; ++i) {
        if ((samples_[i - 1] < 0.0f) != (samples_[i] < 0.0f) &&
            std::max(std::abs(samples_[i - 1]), std::abs(samples_[i])) > 1e-3f) {
            first = first.value_or(i);
            last = i;
            ++crossings;
        }
    }
    if (crossings < 3) {
        return 0.0;
    }
    return double(crossings - 1) / 2.0 * Rate / double(last - *first);
}

PulseServer::PulseServer()
    : dir_(std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/korvane-pulse-XXXXXX"))) {
    hadPreviousServer_ = qEnvironmentVariableIsSet("PULSE_SERVER");
    previousServer_ = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(socketPath()));
}

PulseServer::~PulseServer() {
    stop();
    if (hadPreviousServer_) {
        qputenv("PULSE_SERVER", previousServer_);
    } else {
        qunsetenv("PULSE_SERVER");
    }
}

bool PulseServer::isInstalled() {
    return !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("parec")).isEmpty();
}

QString PulseServer::socketPath() const {
    return dir_->filePath(QStringLiteral("runtime/pulse/native"));
}

bool PulseServer::start(QString* error) {
    if (isRunning()) {
        return true;
    }
    const qint64 startedNs = monotonicNs();
    if (!startServer(error) || !startRecorder(error)) {
        stop();
        return false;
    }
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(startedNs + Settle_Ms * 1'000'000LL - monotonicNs()));
    if (!waitForRecording(monotonicNs() - 100'000'000)) {
        if (error != nullptr) {
            *error = QStringLiteral("the monitor of the null sink delivers no audio");
        }
        stop();
        return false;
    }
    return true;
}

bool PulseServer::startServer(QString* error) {
    // The server gets a home and runtime folder of its own: nothing of the machine's
    // own sound setup is read or touched. As root it warns but runs in user mode.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString runtime = dir_->filePath(QStringLiteral("runtime"));
    const QString home = dir_->filePath(QStringLiteral("home"));
    QFile::remove(socketPath());
    for (const QString& folder : {runtime, home}) {
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("HOME"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.remove(QStringLiteral("PULSE_RUNTIME_PATH"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    if (!runCommand(QStringLiteral("pulseaudio"),
                    {QStringLiteral("-D"), QStringLiteral("-n"),
                     QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--disallow-exit"),
                     QStringLiteral("--load=module-native-protocol-unix"),
                     QStringLiteral("--load=module-null-sink sink_name=gate")},
                    environment, error)) {
        return false;
    }
    QFile pidFile(dir_->filePath(QStringLiteral("runtime/pulse/pid")));
    if (pidFile.open(QIODevice::ReadOnly)) {
        serverPid_ = pidFile.readAll().trimmed().toInt();
    }
    if (serverPid_ <= 0) {
        if (error != nullptr) {
            *error = QStringLiteral("pulseaudio wrote no pid file");
        }
        return false;
    }
    return runCommand(QStringLiteral("pactl"),
                      {QStringLiteral("set-default-sink"), QStringLiteral("gate")},
                      QProcessEnvironment::systemEnvironment(), error);
}

bool PulseServer::startRecorder(QString* error) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    const std::string rate = "--rate=" + std::to_string(Recording::Rate);
    std::vector<std::string> arguments = {"parec", "--raw",        "--format=float32le",
                                          rate,    "--channels=1", "--latency-msec=20",
                                          "-d",    "gate.monitor"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int spawned =
        posix_spawnp(&recorderPid_, "parec", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        recorderPid_ = -1;
        close(pipeFds[0]);
        if (error != nullptr) {
            *error = QStringLiteral("parec did not start: %1")
                         .arg(QString::fromLocal8Bit(strerror(spawned)));
        }
        return false;
    }
    {
        const std::lock_guard guard(mutex_);
        samples_.clear();
        placed_ = false;
    }
    reader_ = std::thread([this, fd = pipeFds[0]] { readRecorder(fd); });
    return true;
}

// Each block is stamped on arrival; the earliest arrival relative to its position
// places the whole recording on the monotonic clock.
void PulseServer::readRecorder(int fd) {
    std::vector<char> pending;
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        const qint64 arrivedNs = monotonicNs();
        pending.insert(pending.end(), buffer, buffer + got);
        const std::size_t whole = pending.size() / sizeof(float);
        const std::lock_guard guard(mutex_);
        const std::size_t before = samples_.size();
        samples_.resize(before + whole);
        std::memcpy(samples_.data() + before, pending.data(), whole * sizeof(float));
        pending.erase(pending.begin(), pending.begin() + qsizetype(whole * sizeof(float)));
        const qint64 firstNs =
            arrivedNs - qint64(samples_.size()) * Ns_Per_Second / Recording::Rate;
        firstSampleNs_ = placed_ ? std::min(firstSampleNs_, firstNs) : firstNs;
        placed_ = true;
    }
    close(fd);
}

void PulseServer::stopRecorder() {
    if (recorderPid_ > 0) {
        kill(recorderPid_, SIGTERM);
        waitpid(recorderPid_, nullptr, 0);
        recorderPid_ = -1;
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void PulseServer::stop() {
    stopRecorder();
    if (serverPid_ > 0) {
        kill(serverPid_, SIGTERM);
        waitForExit(serverPid_, 3000);
        if (!hasExited(serverPid_)) {
            kill(serverPid_, SIGKILL);
            waitForExit(serverPid_, 1000);
        }
        serverPid_ = -1;
    }
}

std::optional<bool> PulseServer::playbackCorked() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    QByteArray listing;
    if (!runCommand(QStringLiteral("pactl"),
                    {QStringLiteral("list"), QStringLiteral("sink-inputs")}, environment, nullptr,
                    &listing)) {
        return std::nullopt;
    }
    int streams = 0;
    bool corked = false;
    for (const QByteArray& line : listing.split('\n')) {
        const QByteArray field = line.trimmed();
        if (field.startsWith("Corked:")) {
            ++streams;
            corked = field.endsWith("yes");
        }
    }
    return streams == 1 ? std::optional(corked) : std::nullopt;
}

bool PulseServer::waitForRecording(qint64 ns, int limitMs) const {
    const qint64 deadline = monotonicNs() + qint64(limitMs) * 1'000'000;
    for (;;) {
        {
            const std::lock_guard guard(mutex_);
            if (placed_ &&
                firstSampleNs_ + qint64(samples_.size()) * Ns_Per_Second / Recording::Rate >= ns) {
                return true;
            }
        }
        if (monotonicNs() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Recording PulseServer::recording() const {
    const std::lock_guard guard(mutex_);
    return Recording(samples_, firstSampleNs_);
}

} // namespace korvane::test
