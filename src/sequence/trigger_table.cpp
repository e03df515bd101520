#include "sequence/trigger_table.h"

namespace korvane {

const QString& captionText(Caption caption) {
    switch (caption) {
    case Caption::PutUpGate:
        return caption::Put_Up_Gate;
    case Caption::Start:
        return caption::Start;
    case Caption::Delay:
        return caption::Delay;
    case Caption::ClickToContinue:
        return caption::Click_To_Continue;
    case Caption::DelayedExternally:
        return caption::Delayed_Externally;
    }
    return caption::Put_Up_Gate;
}

TriggerAction triggerAction(StartState state, Trigger trigger, bool lineHigh) {
    const bool click = trigger == Trigger::ScreenClick;
    switch (state) {
    case StartState::Ready:
        return click || lineHigh ? TriggerAction::RaiseGate : TriggerAction::None;
    case StartState::GateUp:
        return click || lineHigh ? TriggerAction::StartCadence : TriggerAction::None;
    case StartState::Cadence:
        if (click)
            return TriggerAction::HoldOnScreen;
        return lineHigh ? TriggerAction::HoldExternally : TriggerAction::None;
    case StartState::HeldOnScreen:
        return click ? TriggerAction::ReleaseOnScreen : TriggerAction::None;
    case StartState::HeldExternally:
        return !click && !lineHigh ? TriggerAction::ReleaseExternal : TriggerAction::None;
    case StartState::GateHoldOff:
    case StartState::Released:
    case StartState::Announced:
    case StartState::Dropped:
        break;
    }
    return TriggerAction::None;
}

} // namespace korvane
