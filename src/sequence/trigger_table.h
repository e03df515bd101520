#pragma once

#include <QString>

namespace korvane {

// The states of a start, as the operator meets them.
enum class StartState {
    Ready,          // "Click to put up gate": a press raises the gate
    GateHoldOff,    // "Start", locked: the 4 s after the gate went up
    GateUp,         // "Start": the gate is up; a press begins the cadence
    Cadence,        // "Delay": "OK riders" has played; a press holds the start
    HeldOnScreen,   // "Click to continue": held until clicked again
    HeldExternally, // "Delayed by External Button": held while the button is down
    Released,       // locked: the cadence resumes at its next 3.6 s tick
    Announced,      // locked: "Riders ready" on, the beeps run to the drop
    Dropped,        // locked: the gate is down (or the last beep passed) until ready
};

// The start button's captions. Released and the states after it keep the caption they
// came with.
enum class Caption { PutUpGate, Start, Delay, ClickToContinue, DelayedExternally };

namespace caption {
inline const QString Put_Up_Gate = QStringLiteral("Click to put up gate");
inline const QString Start = QStringLiteral("Start");
inline const QString Delay = QStringLiteral("Delay");
inline const QString Click_To_Continue = QStringLiteral("Click to continue");
inline const QString Delayed_Externally = QStringLiteral("Delayed by External Button");
} // namespace caption

const QString& captionText(Caption caption);

// Where a trigger comes from: a click on the on-screen start button, or a sample of the
// external start button's line on port B.
enum class Trigger { ScreenClick, ExternalPoll };

enum class TriggerAction {
    None,            // the trigger is ignored
    RaiseGate,       // first press: the gate goes up
    StartCadence,    // second press: the spoken cadence begins
    HoldOnScreen,    // the operator holds the start on screen
    HoldExternally,  // the external button holds the start while it is down
    ReleaseOnScreen, // a second click ends the on-screen hold
    ReleaseExternal, // letting go of the external button ends its hold
};

// What a trigger does in a state; for a sample, whether the start-button line reads 1.
// The external button is sampled as a level: held down, it acts again at every sample
// its state allows. Locked states (the hold-off, an external hold, and everything from
// the release on) take no click; the states that take none of either do nothing.
TriggerAction triggerAction(StartState state, Trigger trigger, bool lineHigh);

} // namespace korvane
