#pragma once

#include "sequence/clocks.h"
#include "tests/support/server_stack.h"

#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace korvane::test {

// Audio captured from the null sink's monitor, mono float, placed on CLOCK_MONOTONIC in
// nanoseconds (the clock of monotonicNs() and std::chrono::steady_clock). The placement
// comes from when the samples arrived, so it is good to a few tens of milliseconds:
// compare positions within one recording for anything finer.
class Recording {
public:
    static constexpr int Rate = 48000;

    // A block the recorder received: the index just past its last sample, and when.
    struct Delivery {
        std::size_t endIndex;
        qint64 arrivedNs;
    };

    Recording(std::vector<float> samples, qint64 firstSampleNs,
              std::vector<Delivery> deliveries = {});

    qint64 timeOf(std::size_t index) const;
    std::size_t indexAt(qint64 ns) const; // clamped to the recording
    qint64 endNs() const { return timeOf(samples_.size()); }
    const std::vector<float>& samples() const { return samples_; }

    // The first / last instant in [fromNs, toNs) whose magnitude exceeds `level`.
    std::optional<qint64> firstAbove(float level, qint64 fromNs, qint64 toNs) const;
    std::optional<qint64> lastAbove(float level, qint64 fromNs, qint64 toNs) const;
    double rms(qint64 fromNs, qint64 toNs) const;
    // The pitch of a plain tone in [fromNs, toNs), from its zero crossings; 0 if silent.
    double toneFrequency(qint64 fromNs, qint64 toNs) const;
    // When the server sent the sample at `ns`, taking a block to be sent as soon as it is
    // full: its arrival less the samples after it in the block. Unlike the placement above
    // this does not drift with the server's early bursts; it is good to about one of the
    // server's periods. Empty when no block holds the sample.
    std::optional<qint64> sentAt(qint64 ns) const;

private:
    std::vector<float> samples_;
    qint64 firstSampleNs_;
    std::vector<Delivery> deliveries_;
};

// A private sound server with one null sink, "gate", as the default sink, whose monitor
// is recorded from start() to stop(): PulseAudio, or PipeWire with its PulseAudio service,
// as KORVANE_SOUND_SERVER chooses (see server_stack.h). The server lives in a temporary
// runtime folder; this process's clients (libpulse reads PULSE_SERVER when it connects)
// are pointed at it from construction on, so a player made before start() finds the
// server when it appears, and finds none after stop().
class PulseServer {
public:
    explicit PulseServer(SoundServerKind kind = chosenSoundServer());
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // The chosen server's programs, pactl and parec are on the PATH.
    static bool isInstalled();
    // "PulseAudio" or "PipeWire".
    QString name() const { return serverName(stack_.kind()); }
    // Why this server cannot be started here; empty when it can be tried.
    QString unavailableReason() const { return missingPrograms(stack_.kind()); }

    // Starts the server and the recorder and waits until the recording runs steadily
    // (PulseAudio's null sink delivers its first two seconds in one block). Returns false
    // with a reason in `error` when something did not start.
    bool start(QString* error = nullptr);
    void stop();
    bool isRunning() const { return stack_.isRunning(); }
    // The server's processes and the recorder, while they run.
    std::vector<pid_t> processIds() const;
    // The home the server's processes see, inside the temporary folder.
    QString homePath() const { return stack_.homePath(); }

    // Whether the one playback stream on the server is corked (paused, costing nothing);
    // empty when there is not exactly one.
    std::optional<bool> playbackCorked() const;

    // Waits until the recording reaches `ns`, at most `limitMs`.
    bool waitForRecording(qint64 ns, int limitMs = 3000) const;
    Recording recording() const;

private:
    bool startRecorder(QString* error);
    void stopRecorder();
    void readRecorder(int fd);

    std::unique_ptr<QTemporaryDir> dir_;
    ServerStack stack_;
    QByteArray previousServer_;
    bool hadPreviousServer_ = false;
    pid_t recorderPid_ = -1;
    std::thread reader_;

    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::vector<Recording::Delivery> deliveries_;
    qint64 firstSampleNs_ = 0;
    bool placed_ = false;
};

} // namespace korvane::test
