#include "tests/support/pulse_server.h"

#include "tests/support/child_process.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace korvane::test {

namespace {

constexpr qint64 Ns_Per_Second = 1'000'000'000;
constexpr int Settle_Ms = 2500;

} // namespace

Recording::Recording(std::vector<float> samples, qint64 firstSampleNs,
                     std::vector<Delivery> deliveries)
    : samples_(std::move(samples))
    , firstSampleNs_(firstSampleNs)
    , deliveries_(std::move(deliveries)) {}

qint64 Recording::timeOf(std::size_t index) const {
    return firstSampleNs_ + static_cast<qint64>(index) * Ns_Per_Second / Rate;
}

// The first sample at or after `ns`, so that indexAt(timeOf(i)) is i.
std::size_t Recording::indexAt(qint64 ns) const {
    const qint64 scaled = (ns - firstSampleNs_) * Rate;
    const qint64 index = scaled / Ns_Per_Second + (scaled % Ns_Per_Second > 0 ? 1 : 0);
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

std::optional<qint64> Recording::sentAt(qint64 ns) const {
    const std::size_t index = indexAt(ns);
    const auto block =
        std::upper_bound(deliveries_.begin(), deliveries_.end(), index,
                         [](std::size_t i, const Delivery& d) { return i < d.endIndex; });
    if (block == deliveries_.end()) {
        return std::nullopt;
    }
    return block->arrivedNs - qint64(block->endIndex - index) * Ns_Per_Second / Rate;
}

PulseServer::PulseServer(SoundServerKind kind)
    : dir_(std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/korvane-pulse-XXXXXX")))
    , stack_(kind, dir_->path()) {
    hadPreviousServer_ = qEnvironmentVariableIsSet("PULSE_SERVER");
    previousServer_ = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:" + QFile::encodeName(stack_.socketPath()));
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
    return missingPrograms(chosenSoundServer()).isEmpty();
}

std::vector<pid_t> PulseServer::processIds() const {
    std::vector<pid_t> ids = stack_.processIds();
    if (recorderPid_ > 0) {
        ids.push_back(recorderPid_);
    }
    return ids;
}

bool PulseServer::start(QString* error) {
    if (isRunning()) {
        return true;
    }
    const qint64 startedNs = monotonicNs();
    if (!stack_.start(error) || !startRecorder(error)) {
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

bool PulseServer::startRecorder(QString* error) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    recorderPid_ = spawnChild(QStringLiteral("parec"),
                              {QStringLiteral("--raw"), QStringLiteral("--format=float32le"),
                               QStringLiteral("--rate=%1").arg(Recording::Rate),
                               QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20"),
                               QStringLiteral("-d"), QStringLiteral("gate.monitor")},
                              stack_.clientEnvironment(), pipeFds[1], -1, error);
    close(pipeFds[1]);
    if (recorderPid_ <= 0) {
        close(pipeFds[0]);
        return false;
    }
    {
        const std::lock_guard guard(mutex_);
        samples_.clear();
        deliveries_.clear();
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
        deliveries_.push_back({samples_.size(), arrivedNs});
    }
    close(fd);
}

void PulseServer::stopRecorder() {
    stopChild(recorderPid_);
    recorderPid_ = -1;
    if (reader_.joinable()) {
        reader_.join();
    }
}

void PulseServer::stop() {
    stopRecorder();
    stack_.stop();
}

std::optional<bool> PulseServer::playbackCorked() const {
    QByteArray listing;
    if (!runCommand(QStringLiteral("pactl"),
                    {QStringLiteral("list"), QStringLiteral("sink-inputs")},
                    stack_.clientEnvironment(), nullptr, &listing)) {
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
    return Recording(samples_, firstSampleNs_, deliveries_);
}

} // namespace korvane::test
