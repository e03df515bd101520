#pragma once

#include "sim/event_loop.h"
#include "tests/support/test_rig.h"

#include <functional>

namespace korvane::test {

// A recording player that also calls `onPlay` at every play, so a test can look at the
// window at the moment a sound starts (which steps of a handler have run by then).
class ProbingSoundPlayer : public RecordingSoundPlayer {
public:
    void playAsync(const QString& fileName) override;
    void playSync(const QString& fileName) override;
    std::function<void(const QString&)> onPlay;
};

using sim::runEventsFor;
using sim::runUntil;

// The start's intervals at test speed, so a test waits for what it checks and not for
// the design's seconds: the hold-off, the cadence's calls and the ready state after the
// last beep. Beeps keep the bar's interval.
struct TestSpeed {
    int holdOffMs = 300;
    int ridersReadyMs = 600;
    int watchTheGateMs = 500;
    int readyMs = 1000;
};
void setTestSpeed(frmUSB_Main& w, const TestSpeed& speed = {});

// The real main window on one virtual module (port 1), with the start's lines:
// gate on line 0, red 1, orange 2, green 3 of port A; the start button on line 2 of
// port B. Message boxes are recorded, never shown: a read that times out on a busy
// machine must not leave a test waiting for someone to press OK.
class StartRig {
public:
    static constexpr qint16 Gate_Line = 0;
    static constexpr qint16 Red_Line = 1;
    static constexpr qint16 Orange_Line = 2;
    static constexpr qint16 Green_Line = 3;
    static constexpr int Button_Line = 2;

    // `linkTiming`: how often a lost module is looked for, and so on.
    explicit StartRig(LinkEngine::Timing linkTiming = {});
    ~StartRig();

    // Runs the load handler (discovery, ready state), then sets the lines and forgets
    // the commands, sounds and messages so far.
    bool load(); // false: the module was never found
    // For step-by-step tests: no poll or restart tick interferes.
    void stopBackgroundTimers();

    void setButton(bool down);
    // The module's commands as text, without the port reads of the poll.
    QStringList outputs() const;
    // Monotonic stamp (ns) of the n-th output command equal to `text`, or -1.
    qint64 outputStampNs(const QString& text, int occurrence = 0) const;
    qint64 soundStampNs(const QString& file) const;
    int portReads() const;

    frmUSB_Main& window() { return *window_; }
    frmUSB_Main* operator->() { return window_.get(); }
    sim::VirtualModule& module() { return *module_; }
    ProbingSoundPlayer& sound() { return *sound_; }
    MessageRecorder& messages() { return messages_; }

private:
    MessageRecorder messages_;
    ModuleRig rig_;
    QTemporaryDir programFolder_;
    sim::VirtualModule* module_ = nullptr;
    ProbingSoundPlayer* sound_ = nullptr;
    std::unique_ptr<frmUSB_Main> window_;
};

} // namespace korvane::test
