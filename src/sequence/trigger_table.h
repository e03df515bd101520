#pragma once

#include <QString>

namespace korvane {

// The captions of the start button. The caption is the state of a start: the
// triggers compare it with these texts exactly, letter case included.
namespace caption {
inline const QString Put_Up_Gate = QStringLiteral("Click to put up gate");
inline const QString Start = QStringLiteral("Start");
inline const QString Delay = QStringLiteral("Delay");
inline const QString Click_To_Continue = QStringLiteral("Click to continue");
inline const QString Delayed_Externally = QStringLiteral("Delayed by External Button");
} // namespace caption

// Where a trigger comes from: a click on the on-screen start button, or a poll of the
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

// What a trigger does, given the start button's caption and enabled flag and, for a
// poll, whether the start-button line reads 1. The first matching row wins; a caption
// matching no row means nothing happens. Apart from the release of an external hold,
// a poll acts only while the button is enabled, so the button's disabled spells (the
// 4 s after the gate goes up, and from the riders-ready call on) lock out both triggers.
TriggerAction triggerAction(const QString& caption, Trigger trigger, bool lineHigh,
                            bool buttonEnabled);

} // namespace korvane
