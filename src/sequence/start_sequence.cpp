#include "sequence/start_sequence.h"

#include "io/module_protocol.h"
#include "sequence/clocks.h"
#include "sequence/race_clock.h"
#include "sequence/random_delay.h"
#include "sequence/start_sounds.h"

namespace korvane {

Q_LOGGING_CATEGORY(lcStart, "korvane.start", QtInfoMsg)

namespace {

constexpr int Second_Green_Lamp = 3;
constexpr int Gate_Lamp = 4;
constexpr qint64 Ns_Per_Ms = 1'000'000;
// A step that runs later than this after its due time is logged as late.
constexpr qint64 Late_Step_Ns = 2 * Ns_Per_Ms;
// How long a press of the external button must be held on before it acts again: the
// period at which the original read it.
constexpr qint64 Repeat_After_Ns = 500 * Ns_Per_Ms;

const char* stepName(StartStep step) {
    static const char* const names[Start_Step_Count] = {
        "hold-off end", "riders ready", "watch the gate", "beep 1",    "beep 2",
        "beep 3",       "beep 4",       "ready state",    "pulse end", "race limit"};
    return names[int(step)];
}

bool isLine(qint16 line) {
    return line >= 0 && line <= 255;
}

bool onPortA(qint16 line) {
    return line >= 0 && line < 8;
}

quint8 bitOf(qint16 line) {
    return onPortA(line) ? quint8(1u << line) : 0;
}

} // namespace

StartSequence::StartSequence(ModulePort& module, SoundPlayer& sound, StepTimer& timer,
                             QObject* parent)
    : QObject(parent)
    , module_(module)
    , sound_(sound)
    , timer_(timer)
    , delays_([] { return drawRandomDelayMs(); }) {}

void StartSequence::setSettings(const StartSettings& settings) {
    settings_ = settings;
}

bool StartSequence::buttonEnabled() const {
    switch (state_) {
    case StartState::Ready:
    case StartState::GateUp:
        // Without the module no gate is raised and no start begins: it would run blind.
        return module_.connected();
    case StartState::Cadence:
    case StartState::HeldOnScreen:
        return true;
    default:
        return false;
    }
}

bool StartSequence::running() const {
    switch (state_) {
    case StartState::Cadence:
    case StartState::HeldOnScreen:
    case StartState::HeldExternally:
    case StartState::Released:
    case StartState::Announced:
    case StartState::Dropped:
        return true;
    default:
        return false;
    }
}

bool StartSequence::delayed() const {
    return state_ == StartState::HeldOnScreen || state_ == StartState::HeldExternally;
}

// ---------------------------------------------------------------- triggers

void StartSequence::click() {
    apply(triggerAction(state_, Trigger::ScreenClick, false));
}

void StartSequence::externalSample(quint8 portB, qint64 atModuleNs) {
    if (race_)
        raceSample(portB, atModuleNs);
    const qint16 mask = settingsInUse().startButtonMask;
    const bool high = mask != 0 && (portB & mask) != 0;
    externalHigh_ = high;
    if (!high)
        pressActedAtNs_.reset();
    // A button still held after an abort starts nothing until it has been let go.
    if (awaitRelease_) {
        awaitRelease_ = high;
        return;
    }
    // The button is read as a level, and a press held down acts again, but only once it
    // has been held as long as the original's poll took to see it again: a press that
    // started the cadence does not also hold it, unless it is held on.
    if (high && pressActedAtNs_ && atModuleNs - *pressActedAtNs_ < Repeat_After_Ns)
        return;
    const StartState before = state_;
    apply(triggerAction(state_, Trigger::ExternalPoll, high));
    if (high && state_ != before)
        pressActedAtNs_ = atModuleNs;
}

void StartSequence::sampleFailed() {
    switch (state_) {
    case StartState::Announced:
    case StartState::Dropped:
        return; // the button can do nothing now: a race's reads never open a box
    default:
        emit readFailed();
    }
}

void StartSequence::apply(TriggerAction action) {
    switch (action) {
    case TriggerAction::None:
        return;
    case TriggerAction::RaiseGate:
        if (module_.connected())
            raiseGate();
        return;
    case TriggerAction::StartCadence:
        if (module_.connected())
            startCadence();
        return;
    case TriggerAction::HoldOnScreen:
        hold(StartState::HeldOnScreen, Caption::ClickToContinue);
        return;
    case TriggerAction::HoldExternally:
        hold(StartState::HeldExternally, Caption::DelayedExternally);
        return;
    case TriggerAction::ReleaseOnScreen:
    case TriggerAction::ReleaseExternal:
        release();
        return;
    }
}

// ---------------------------------------------------------------- the start

void StartSequence::raiseGate() {
    // The lamp and the caption show a raised gate only when the command went out.
    if (!lineOn(settings_.lines.gate, true))
        return;
    gateUp_ = true;
    // The first sound is at least the hold-off away: time to wake the output and read
    // every file that changed.
    sound_.wake();
    for (const QString& file : start_sounds::All)
        sound_.prepare(file);
    setLamp(Gate_Lamp, true);
    caption_ = Caption::Start;
    setState(StartState::GateHoldOff);
    arm(StartStep::HoldOff, intervals_.holdOffMs);
    emit changed();
}

void StartSequence::startCadence() {
    inUse_ = settings_;
    // A race still being watched is given up: the panel belongs to the new start.
    race_.reset();
    timer_.disarm(StartStep::RaceLimit);
    raceText_.clear();
    raceMs_ = 0;
    raceStartTick_ = 0;
    record_.reset();
    for (int lamp = 0; lamp < Gate_Lamp; ++lamp)
        lamps_[std::size_t(lamp)] = false;
    for (StartStep step : {StartStep::RidersReady, StartStep::WatchTheGate, StartStep::Beep1,
                           StartStep::Beep2, StartStep::Beep3, StartStep::Beep4})
        timer_.disarm(step);
    // Drawn now and shown to nobody: it is logged after the start.
    randomDelayMs_ = inUse_.randomStart ? delays_() : 0;
    soundWithoutOutput_ = false;
    standIns_.clear();
    dropped_ = false;
    pressedNs_ = timer_.nowNs();
    caption_ = Caption::Delay;
    setState(StartState::Cadence);
    play(start_sounds::Ok_Riders);
    arm(StartStep::RidersReady, intervals_.ridersReadyMs);
    // After the first call and the first step are on their way.
    startlog::StartRecord record;
    record.when = QDateTime::currentDateTime();
    record.beepIntervalMs = inUse_.beepIntervalMs;
    if (inUse_.gateTiming)
        record.gateTiming = *inUse_.gateTiming + 1;
    if (randomDelayMs_ > 0)
        record.randomDelayMs = randomDelayMs_;
    record_ = record;
    recordWritten_ = false;
    holdSinceNs_ = -1;
    abortAllowed_ = true;
    emit changed();
}

void StartSequence::hold(StartState held, Caption caption) {
    caption_ = caption;
    setState(held);
    noteHold(true);
    emit changed();
}

// No second hold: the cadence resumes at the next tick of "Riders ready".
void StartSequence::release() {
    setState(StartState::Released);
    noteHold(false);
    emit changed();
}

void StartSequence::announceRidersReady() {
    setState(StartState::Announced);
    play(start_sounds::Riders_Ready);
    arm(StartStep::WatchTheGate, intervals_.watchTheGateMs);
    emit changed();
}

// Played to its end, so the first beep comes one beep interval after its end, however
// long the recording is. A random start's delay stands for that interval.
void StartSequence::watchTheGate() {
    play(start_sounds::Watch_The_Gate, true);
    arm(StartStep::Beep1, randomDelayMs_ > 0 ? randomDelayMs_ : inUse_.beepIntervalMs);
}

// Beeps 1 to 3 in the order of the original's columns: timers, lights, tone, and the drop
// last, so the tone begins just before the gate falls. Beep 4: green again (both green
// lamps shine until the ready state), the drop before the long tone.
void StartSequence::beep(int beep) {
    const config::OutputLines& lines = inUse_.lines;
    const qint16 light[] = {lines.red, lines.orange, lines.green};
    const bool drops = inUse_.gateTiming && *inUse_.gateTiming == beep - 1;
    if (beep == 4) {
        setLamp(Second_Green_Lamp, lineOn(lines.green, true));
        arm(StartStep::Ready, intervals_.readyMs);
        if (drops)
            drop();
        play(start_sounds::Long_Tone);
        // Without a drop the last beep ends what can be called off.
        abortAllowed_ = false;
        if (state_ == StartState::Announced)
            setState(StartState::Dropped);
        emit changed();
        return;
    }
    static constexpr StartStep next[] = {StartStep::Beep2, StartStep::Beep3, StartStep::Beep4};
    arm(next[beep - 1], inUse_.beepIntervalMs);
    if (beep > 1 && lineOn(light[beep - 2], false))
        setLamp(beep - 2, false);
    // A lamp lights only for a light that was switched on.
    setLamp(beep - 1, lineOn(light[beep - 1], true));
    play(start_sounds::Beep_Tone);
    if (drops)
        drop();
    emit changed();
}

void StartSequence::drop() {
    const qint16 gate = inUse_.lines.gate;
    intended_ = quint8(intended_ & ~bitOf(gate));
    const SendResult dropped =
        isLine(gate) ? send(protocol::lineCommand(protocol::Line_Off, quint8(gate))) : SendResult{};
    if (!dropped.sent) {
        dropNotSent();
        return;
    }
    dropWrittenNs_ = timer_.nowNs();
    gateUp_ = false;
    dropped_ = true;
    setLamp(Gate_Lamp, false);
    abortAllowed_ = false; // the riders are away
    setState(StartState::Dropped);
    raceStartTick_ = tickCount();
    // After the drop's own command, so the drop is never later for it; on the line set
    // when the start began, and switched off on that line.
    if (inUse_.pulseLine >= 0 && lineOn(inUse_.pulseLine, true)) {
        pulseLine_ = inUse_.pulseLine;
        arm(StartStep::PulseEnd, inUse_.pulseMs);
    }
    if (record_)
        record_->dropAfterStartMs = int((timer_.nowNs() - pressedNs_) / Ns_Per_Ms);
    // Without a finish-beam line there is nothing to watch: no race time is taken.
    if (inUse_.finishBeamMask != 0) {
        race_ = Race{dropped.atModuleNs, std::nullopt};
        arm(StartStep::RaceLimit, raceLimitMs_);
    }
    updateSampling();
}

// A drop whose command did not go out ends the start as an abort at the drop would: the
// gate is still up, the riders behind it.
void StartSequence::dropNotSent() {
    qCWarning(lcStart) << "the gate's drop did not go out: the start ends with the gate up";
    if (record_)
        record_->dropNotSent = true;
    endStart();
    emit notice(QStringLiteral("The gate's drop could not be sent to the I/O module: the "
                               "gate is still up. The start was called off."));
}

void StartSequence::abort() {
    if (!abortAllowed_)
        return;
    endStart();
}

// Every step of the start and its sound stop, the lights go off, the gate stays up and
// the window is back at "Start"; the record is written at once.
void StartSequence::endStart() {
    abortAllowed_ = false;
    for (StartStep step : {StartStep::RidersReady, StartStep::WatchTheGate, StartStep::Beep1,
                           StartStep::Beep2, StartStep::Beep3, StartStep::Beep4, StartStep::Ready})
        timer_.disarm(step);
    sound_.stop();
    noteHold(false);
    switchLightsOff();
    setLamp(Gate_Lamp, gateUp_);
    caption_ = Caption::Start;
    setState(StartState::GateUp);
    awaitRelease_ = externalHigh_;
    if (record_)
        record_->aborted = true;
    writeRecord();
    updateSampling();
    emit startOver();
    emit changed();
}

// A light on the gate's line is left on: switching it off would drop the gate on the
// riders. A lamp goes dark only when its light's command went out.
void StartSequence::switchLightsOff() {
    const config::OutputLines& lines = inUse_.lines;
    const qint16 light[] = {lines.red, lines.orange, lines.green};
    for (int i = 0; i < 3; ++i) {
        if (light[i] == lines.gate || lineOn(light[i], false))
            setLamp(i, false);
    }
    setLamp(Second_Green_Lamp, lamps_[2]);
}

void StartSequence::enterReady() {
    const bool wasRunning = running();
    timer_.disarm(StartStep::Ready);
    intended_ = 0;
    if (send(protocol::writePortA(0x00)).sent) {
        gateUp_ = false;
        lamps_.fill(false);
    }
    abortAllowed_ = false;
    caption_ = Caption::PutUpGate;
    setState(StartState::Ready);
    if (wasRunning) {
        writeRecord();
        emit startOver();
    }
    updateSampling();
    emit changed();
}

void StartSequence::close() {
    if (record_ && !recordWritten_) {
        record_->aborted = true;
        writeRecord();
    }
}

// ---------------------------------------------------------------- steps

void StartSequence::stepDue(StartStep step) {
    const qint64 lateNs = timer_.nowNs() - dueNs_[std::size_t(step)];
    switch (step) {
    case StartStep::HoldOff:
        if (state_ == StartState::GateHoldOff) {
            setState(StartState::GateUp);
            emit changed();
        }
        break;
    case StartStep::RidersReady:
        // While held the tick comes round again: the cadence resumes at the first one
        // after the release.
        if (delayed())
            arm(StartStep::RidersReady, intervals_.ridersReadyMs);
        else if (state_ == StartState::Cadence || state_ == StartState::Released)
            announceRidersReady();
        break;
    case StartStep::WatchTheGate:
        if (state_ == StartState::Announced)
            watchTheGate();
        break;
    case StartStep::Beep1:
    case StartStep::Beep2:
    case StartStep::Beep3:
    case StartStep::Beep4:
        if (state_ == StartState::Announced || state_ == StartState::Dropped)
            beep(int(step) - int(StartStep::Beep1) + 1);
        break;
    case StartStep::Ready:
        enterReady();
        break;
    case StartStep::PulseEnd:
        lineOn(pulseLine_, false);
        break;
    case StartStep::RaceLimit:
        if (race_)
            endRace(race::No_Finish, std::nullopt);
        break;
    }
    const qint64 dueNs = dueNs_[std::size_t(step)];
    qCDebug(lcStart).nospace() << stepName(step) << ": due at " << double(dueNs) / Ns_Per_Ms
                               << " ms, ran at " << double(dueNs + lateNs) / Ns_Per_Ms << " ms";
    if (lateNs > Late_Step_Ns)
        qCWarning(lcStart).nospace()
            << stepName(step) << " ran " << double(lateNs) / Ns_Per_Ms << " ms late";
}

void StartSequence::arm(StartStep step, int intervalMs) {
    dueNs_[std::size_t(step)] = timer_.nowNs() + qint64(intervalMs) * Ns_Per_Ms;
    timer_.arm(step, intervalMs);
}

// ---------------------------------------------------------------- the module

SendResult StartSequence::send(const QByteArray& command) {
    return module_.send(command);
}

// Switches one line; true when the command went out. What the start wants of the line is
// kept either way, so that a module that comes back is told again.
bool StartSequence::lineOn(qint16 line, bool on) {
    if (!isLine(line))
        return false;
    intended_ = on ? quint8(intended_ | bitOf(line)) : quint8(intended_ & ~bitOf(line));
    const bool sent =
        send(protocol::lineCommand(on ? protocol::Line_On : protocol::Line_Off, quint8(line))).sent;
    if (sent && line == settingsInUse().lines.gate)
        gateUp_ = on;
    return sent;
}

void StartSequence::moduleLost() {
    // The external button can no longer be read to let go of its hold: it becomes a hold
    // on screen.
    if (state_ == StartState::HeldExternally) {
        caption_ = Caption::ClickToContinue;
        setState(StartState::HeldOnScreen);
    }
    emit changed();
}

// The module answers again; port A as read back says what is true. A gate found up stays
// up; a gate that fell with the module's power ends the start; a light or the pulse that
// should be off and is not gets its off command again.
void StartSequence::moduleBack(quint8 portA) {
    const qint16 gate = settingsInUse().lines.gate;
    const bool found = onPortA(gate) ? (portA & bitOf(gate)) != 0 : gateUp_;
    // Up from the raise until the drop; at rest (and after the drop) down.
    const bool expected = state_ == StartState::GateHoldOff || state_ == StartState::GateUp ||
                          (running() && !dropped_);
    gateUp_ = found;
    if (expected && !found) {
        if (running())
            gateFellWhileAway();
        else
            enterReady();
        return;
    }
    if (!expected && found) {
        intended_ = quint8(intended_ | bitOf(gate));
        if (running()) {
            dropNotSent(); // its command was written, but never reached the module
            return;
        }
        // Outside a start a gate found up stays up, as after an abort: nobody asked for
        // its drop.
        caption_ = Caption::Start;
        setState(StartState::GateUp);
    } else if (state_ == StartState::Ready) {
        enterReady(); // at rest, the ready state as ever
        return;
    }
    reconcileOutputs(portA);
    updateSampling();
    emit changed();
}

void StartSequence::reconcileOutputs(quint8 portA) {
    const config::OutputLines& lines = settingsInUse().lines;
    const qint16 light[] = {lines.red, lines.orange, lines.green};
    quint8 now = portA;
    for (const qint16 line : {lines.red, lines.orange, lines.green, pulseLine_}) {
        if (!onPortA(line) || line == lines.gate || !(now & bitOf(line)) ||
            (intended_ & bitOf(line)))
            continue;
        if (lineOn(line, false))
            now = quint8(now & ~bitOf(line));
    }
    // The lamps of lights with a line of their own show that line.
    for (int i = 0; i < 3; ++i) {
        const int sharing = int(std::count(std::begin(light), std::end(light), light[i])) +
                            (light[i] == lines.gate);
        if (onPortA(light[i]) && sharing == 1)
            setLamp(i, (now & bitOf(light[i])) != 0);
    }
    setLamp(Second_Green_Lamp, lamps_[Second_Green_Lamp] && lamps_[2]);
    setLamp(Gate_Lamp, gateUp_);
}

void StartSequence::gateFellWhileAway() {
    qCWarning(lcStart) << "the gate fell while the module was away: the start ends";
    for (StartStep step : {StartStep::RidersReady, StartStep::WatchTheGate, StartStep::Beep1,
                           StartStep::Beep2, StartStep::Beep3, StartStep::Beep4})
        timer_.disarm(step);
    sound_.stop();
    noteHold(false);
    if (record_)
        record_->aborted = true;
    gateUp_ = false;
    enterReady();
    emit notice(QStringLiteral("The gate went down while the I/O module was away, so the "
                               "start was called off. Put the gate up to start again."));
}

void StartSequence::updateSampling() {
    const bool fast = state_ != StartState::Ready || race_.has_value();
    if (fast != fastSampling_) {
        fastSampling_ = fast;
        module_.setFastSampling(fast);
    }
}

// ---------------------------------------------------------------- the race

// The race runs from the drop (its command's arrival at the module) to the first broken
// sample after a clear one; the break is placed between the two samples.
void StartSequence::raceSample(quint8 portB, qint64 atNs) {
    if (atNs < race_->dropNs)
        return; // taken before the gate fell
    const bool broken = (portB & inUse_.finishBeamMask) != 0;
    if (!broken) {
        race_->lastClearNs = atNs;
        return;
    }
    // A beam broken since before the drop (someone in it, a fallen bike) is no finish.
    if (!race_->lastClearNs)
        return;
    const qint64 breakNs = (*race_->lastClearNs + atNs) / 2;
    const auto ms = qint32((breakNs - race_->dropNs) / Ns_Per_Ms);
    endRace(race::raceTimeText(ms), ms);
}

void StartSequence::endRace(const QString& shown, std::optional<qint32> ms) {
    race_.reset();
    timer_.disarm(StartStep::RaceLimit);
    raceText_ = shown;
    raceMs_ = ms.value_or(0);
    if (record_) {
        record_->raceTime = shown;
        // The start's line is on disk already: the race time follows in a line of its own.
        if (recordWritten_)
            emit recordReady(*record_);
    }
    updateSampling();
    emit changed();
}

// ---------------------------------------------------------------- record and sound

void StartSequence::play(const QString& file, bool untilItsEnd) {
    const bool heard = sound_.output() == SoundOutput::Ready;
    if (untilItsEnd)
        sound_.playSync(file);
    else
        sound_.playAsync(file);
    // Noted after the play: the play is what is due now.
    soundWithoutOutput_ = soundWithoutOutput_ || !heard;
    if (sound_.playsStandIn(file))
        standIns_ << file;
}

void StartSequence::noteHold(bool held) {
    if (!record_)
        return;
    const qint64 now = timer_.nowNs();
    if (held && holdSinceNs_ < 0) {
        holdSinceNs_ = now;
        ++record_->holds;
    } else if (!held && holdSinceNs_ >= 0) {
        record_->holdTotalMs += int((now - holdSinceNs_) / Ns_Per_Ms);
        holdSinceNs_ = -1;
    }
}

void StartSequence::writeRecord() {
    if (!record_ || recordWritten_)
        return;
    record_->sound = startlog::soundSummary(soundWithoutOutput_, standIns_);
    recordWritten_ = true;
    emit recordReady(*record_);
}

void StartSequence::setState(StartState state) {
    state_ = state;
    updateSampling();
}

void StartSequence::setLamp(int lamp, bool lit) {
    lamps_[std::size_t(lamp)] = lit;
}

} // namespace korvane
