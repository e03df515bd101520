#pragma once

#include "sequence/start_sequence.h"
#include "tests/support/recording_player.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <functional>
#include <map>

namespace korvane::test {

// A module that records what it is sent, stamped on the test's clock. Sends fail while
// it is away, or when `refuse` says so.
class RecordingPort : public ModulePort {
public:
    explicit RecordingPort(std::function<qint64()> clock)
        : clock_(std::move(clock)) {}

    SendResult send(const QByteArray& command) override;
    bool connected() const override { return connected_; }
    void setFastSampling(bool on) override { fast = on; }

    bool connected_ = true;
    bool fast = false;
    std::function<bool(const QByteArray&)> refuse;
    // Each command as the virtual module writes it ("H 03"), and when it went out.
    QStringList sent;
    QList<qint64> sentNs;

private:
    std::function<qint64()> clock_;
};

// The start's steps on a clock that only the test moves on.
class ManualClock : public StepTimer {
public:
    qint64 nowNs() const override { return now_; }
    void arm(StartStep step, int intervalMs) override;
    void disarm(StartStep step) override { due_.erase(step); }
    bool armed(StartStep step) const { return due_.count(step) != 0; }

    // Runs every step due by `ms` from now, in order, each at its due time; the clock
    // stands at `ms` from now afterwards.
    void advance(int ms);
    // Moves the clock on without running anything, as time passes in a blocking call.
    void pass(int ms) { now_ += qint64(ms) * 1'000'000; }
    void setRunner(std::function<void(StartStep)> run) { run_ = std::move(run); }

private:
    qint64 now_ = 1'000'000'000;
    std::map<StartStep, qint64> due_;
    std::function<void(StartStep)> run_;
};

// A start model on the recording module, player and clock, with what it told.
struct ModelRig {
    static constexpr int Watch_The_Gate_Ms = 1100;

    ModelRig();
    // Settings as a track wires them: gate on line 0, red 1, orange 2, green 3 of port A;
    // the start button on port B line 2, the finish beam on line 7; 150 ms beeps.
    static StartSettings trackSettings();

    // The external button's level at a sample now.
    void sample(bool buttonDown, bool beamBroken = false);
    // Up to the moment "OK riders" has begun, by clicks.
    void toCadence();
    // Up to the first beep, the calls made.
    void toBeeps();
    QStringList sounds() const { return player.files(); }

    ManualClock clock;
    RecordingSoundPlayer player;
    RecordingPort port;
    StartSequence model;
    QList<startlog::StartRecord> records;
    QStringList notices;
    int readTimeouts = 0;
};

} // namespace korvane::test
