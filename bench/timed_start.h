#pragma once

#include "app/frmUSB_Main.h"
#include "sim/command_meaning.h"
#include "sim/stamping_sound_player.h"
#include "sim/virtual_module.h"

#include <QString>

#include <array>
#include <memory>
#include <optional>

namespace korvane::bench {

// Every stamp of one start, CLOCK_MONOTONIC in nanoseconds: bytes as they arrived at the
// virtual module, sound calls as the program made them on its GUI thread.
struct StartRecord {
    int beepMs = 0;
    int gateTiming = 0;
    bool busy = false;
    qint64 raiseCallNs = 0; // the click that raises the gate
    qint64 gateUpByteNs = 0;
    qint64 startCallNs = 0; // the click that starts the cadence, at the end of the hold-off
    qint64 okRidersCallNs = 0;
    qint64 ridersReadyCallNs = 0;
    qint64 watchCallNs = 0;
    qint64 watchReturnNs = 0;
    std::array<qint64, 4> beepByteNs{};   // the first byte of each beep step
    std::array<qint64, 4> toneCallNs{};   // the tone's play call began
    std::array<qint64, 4> toneReturnNs{}; // and returned
    std::array<QString, 4> toneFile;
    qint64 dropByteNs = 0;
    qint64 pulseByteNs = 0; // the start pulse's line going on, when it is on
    qint64 readyByteNs = 0;
    bool readyMeasured = false; // the ready state came by its own timer, 10 s after beep 4
    std::array<std::optional<qint64>, 4> toneOnsetNs; // in the recording of the null sink
    int readTimeouts = 0;                             // "Read Timeout" messages during the start
    int staleRepliesLeft = 0; // reply bytes still waiting after it (drained)
};

// The real main window on a virtual module, with the real sound player wrapped in a
// stamping one, run through complete starts by its own handlers and timers.
class StartBench {
public:
    // `folder` holds config.dat and is the working folder with the five sounds.
    explicit StartBench(const QString& folder);
    ~StartBench();

    // Discovery and the ready state; false with a reason when the module was not found.
    bool load(QString* error);
    // The link to the module from the next start on.
    void setPacing(sim::LinePacing pacing);
    // The start pulse for a timing system, from the next start on.
    void setStartPulse(bool on);
    // One start: the gate-up click, the start click the moment the hold-off ends, then
    // the program's own timers up to the ready state. Nothing else runs meanwhile.
    // Unless `waitForReady`, the ready state is called as soon as the last beep's
    // commands are in, instead of 10 s later by its own timer: the start's steps are
    // the same, the ready-state step is not measured.
    std::optional<StartRecord> run(int beepMs, int gateTiming, bool waitForReady, QString* error);
    int messages() const { return messages_; }
    int staleRepliesDrained() const { return staleDrained_; }

private:
    bool collect(StartRecord& record, QString* error) const;
    bool waitForOutput(const QString& meaning, int timeoutMs) const;
    int drainStaleReplies();

    QString folder_;
    sim::VirtualModule module_;
    sim::StampingSoundPlayer* sound_ = nullptr;
    std::unique_ptr<frmUSB_Main> window_;
    sim::LineRoles roles_;
    int messages_ = 0;
    int staleDrained_ = 0;
};

} // namespace korvane::bench
