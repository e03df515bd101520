#pragma once

#include "sequence/module_port.h"
#include "sequence/start_log.h"
#include "sequence/trigger_table.h"
#include "settings/config_file.h"
#include "sound/player.h"

#include <QLoggingCategory>
#include <QObject>

#include <array>
#include <functional>
#include <optional>

namespace korvane {

Q_DECLARE_LOGGING_CATEGORY(lcStart)

// The timed steps of a start, each run once when due.
enum class StartStep {
    HoldOff,      // the gate's 4 s hold-off ends
    RidersReady,  // "Riders ready", 3.6 s after "OK riders" (again every 3.6 s while held)
    WatchTheGate, // "Watch the gate", 1 s later, played to its end
    Beep1,        // red
    Beep2,        // orange
    Beep3,        // green
    Beep4,        // second green lamp, the long tone
    Ready,        // the ready state, 10 s after beep 4
    PulseEnd,     // the start pulse for a timing system goes off
    RaceLimit,    // no finish seen this long after the drop: "--.--"
};
inline constexpr int Start_Step_Count = 10;

// The intervals of a start, as the original program timed them.
namespace cadence {
inline constexpr int Hold_Off_Ms = 4000;
inline constexpr int Riders_Ready_Ms = 3600;
inline constexpr int Watch_The_Gate_Ms = 1000;
inline constexpr int Ready_After_Last_Beep_Ms = 10000;
inline constexpr int Race_Limit_Ms = 120000;
} // namespace cadence

// Arms the start's steps: each runs (StartSequence::stepDue) one interval after it was
// armed, on the monotonic clock; arming a step that is armed moves it. The window's
// timers do it in the program, a clock that a test advances does it in tests.
class StepTimer {
public:
    virtual ~StepTimer() = default;
    virtual qint64 nowNs() const = 0;
    virtual void arm(StartStep step, int intervalMs) = 0;
    virtual void disarm(StartStep step) = 0;
};

// What a start runs on, from the settings in force when it begins.
struct StartSettings {
    int beepIntervalMs = 150;
    std::optional<int> gateTiming; // 0..3: the gate drops on beep gateTiming + 1
    config::OutputLines lines;
    qint16 startButtonMask = 0; // within the port-B byte; 0: no external button
    qint16 finishBeamMask = 0;  // 0: no race is timed
    bool randomStart = false;
    qint16 pulseLine = -1; // port A line of the start pulse, -1 for none
    int pulseMs = 100;
};

// The start of a race as a state machine, on the window thread and on QtCore alone: the
// two triggers (the on-screen click and the external button's samples), the hold-off,
// the spoken cadence and its holds, the beeps with their lights and the gate's drop,
// abort, the start pulse, the race clock and the start's record. It sends the module's
// commands through a ModulePort and plays through a SoundPlayer; its steps are armed on
// a StepTimer. The window shows what it says through changed() and its getters.
//
// What the window shows is what went out: a lamp lights for a light whose command was
// sent, a step whose command did not go out is not shown or logged as done, and when the
// module comes back after a loss its port A, read back, says what is true.
class StartSequence : public QObject {
    Q_OBJECT
public:
    // Draws a random start's delay before the first light, in ms.
    using DelaySource = std::function<int()>;

    StartSequence(ModulePort& module, SoundPlayer& sound, StepTimer& timer,
                  QObject* parent = nullptr);

    // The cadence's fixed intervals; tests and the demo may shorten them.
    struct Intervals {
        int holdOffMs = cadence::Hold_Off_Ms;
        int ridersReadyMs = cadence::Riders_Ready_Ms;
        int watchTheGateMs = cadence::Watch_The_Gate_Ms;
        int readyMs = cadence::Ready_After_Last_Beep_Ms;
    };
    void setIntervals(const Intervals& intervals) { intervals_ = intervals; }
    const Intervals& intervals() const { return intervals_; }

    // --- Inputs
    void setSettings(const StartSettings& settings);
    void setDelaySource(DelaySource source) { delays_ = std::move(source); }
    void setRaceLimitMs(int ms) { raceLimitMs_ = ms; }
    void click();
    void abort();
    void externalSample(quint8 portB, qint64 atModuleNs);
    // A sample of port B that failed: told as "Read Timeout" while the button can act.
    void sampleFailed();
    void moduleLost();
    void moduleBack(quint8 portA);
    void stepDue(StartStep step);
    // The ready state: every output off, the button at "Click to put up gate".
    void enterReady();
    // The program is closing: a start under way is recorded as it stands.
    void close();

    // --- What the window shows
    StartState state() const { return state_; }
    Caption caption() const { return caption_; }
    bool buttonEnabled() const;
    // Shape1(0) red, 1 orange, 2 green, 3 second green, 4 the gate.
    bool lampLit(int lamp) const { return lamps_.at(std::size_t(lamp)); }
    bool abortAllowed() const { return abortAllowed_; }
    // From "OK riders" to the ready state: settings wait for its end, nothing is saved.
    bool running() const;
    bool delayed() const;
    // The race-time panel: "32.47", "--.--", or empty.
    const QString& raceTimeText() const { return raceText_; }
    bool raceWatched() const { return race_.has_value(); }
    quint32 raceStartTick() const { return raceStartTick_; }
    // Race time in ms of the last race timed, 0 before.
    qint32 raceTimeMs() const { return raceMs_; }
    int randomDelayMs() const { return randomDelayMs_; }
    // When the last drop's command had been written, on the step timer's clock.
    qint64 dropWrittenNs() const { return dropWrittenNs_; }
    const StartSettings& settingsInUse() const { return running() ? inUse_ : settings_; }

signals:
    void changed();
    // A failed read of the start button, to be told once ("Read Timeout").
    void readFailed();
    // Something the operator must be told at once (a gate that fell while away).
    void notice(const QString& text);
    // A start's record, to be added to the log; a second one for the same start adds the
    // race time that came after its ready state.
    void recordReady(const korvane::startlog::StartRecord& record);
    // The start is over (its ready state, or an abort): what waited for it may be done.
    void startOver();

private:
    struct Race {
        qint64 dropNs = 0;
        std::optional<qint64> lastClearNs;
    };

    void apply(TriggerAction action);
    void raiseGate();
    void startCadence();
    void hold(StartState held, Caption caption);
    void release();
    void announceRidersReady();
    void watchTheGate();
    void beep(int beep);
    void drop();
    void dropNotSent();
    void endStart();
    void switchLightsOff();
    void reconcileOutputs(quint8 portA);
    void gateFellWhileAway();
    void raceSample(quint8 portB, qint64 atNs);
    void endRace(const QString& shown, std::optional<qint32> ms);
    void play(const QString& file, bool untilItsEnd = false);
    SendResult send(const QByteArray& command);
    bool lineOn(qint16 line, bool on);
    void arm(StartStep step, int intervalMs);
    void setState(StartState state);
    void updateSampling();
    void noteHold(bool held);
    void writeRecord();
    void setLamp(int lamp, bool lit);

    ModulePort& module_;
    SoundPlayer& sound_;
    StepTimer& timer_;
    DelaySource delays_;
    StartSettings settings_; // in force now
    StartSettings inUse_;    // the start's, taken when it began
    int raceLimitMs_ = cadence::Race_Limit_Ms;
    Intervals intervals_;

    StartState state_ = StartState::Ready;
    Caption caption_ = Caption::PutUpGate;
    std::array<bool, 5> lamps_{};
    bool abortAllowed_ = false;
    bool gateUp_ = false;                  // the gate's line, as the commands that went out left it
    quint8 intended_ = 0;                  // port A as the start wants it, sent or not
    bool awaitRelease_ = false;            // after an abort: a held button starts nothing
    bool externalHigh_ = false;            // the last sample of the start button
    std::optional<qint64> pressActedAtNs_; // when the press held now last acted
    bool dropped_ = false;                 // this start's gate dropped
    qint16 pulseLine_ = -1;                // the line the last start pulse went out on
    qint64 dropWrittenNs_ = 0;
    bool fastSampling_ = false;
    int randomDelayMs_ = 0;
    std::array<qint64, Start_Step_Count> dueNs_{};

    std::optional<Race> race_;
    QString raceText_;
    quint32 raceStartTick_ = 0;
    qint32 raceMs_ = 0;

    // The record of the start under way; written at its end, again when its race ends.
    std::optional<startlog::StartRecord> record_;
    bool recordWritten_ = false;
    qint64 pressedNs_ = 0;
    qint64 holdSinceNs_ = -1;
    bool soundWithoutOutput_ = false;
    QStringList standIns_;
};

} // namespace korvane
