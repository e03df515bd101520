#include "sequence/trigger_table.h"

namespace korvane {

namespace {

TriggerAction screenClick(const QString& text) {
    if (text == caption::Put_Up_Gate)
        return TriggerAction::RaiseGate;
    if (text == caption::Start)
        return TriggerAction::StartCadence;
    if (text == caption::Delay)
        return TriggerAction::HoldOnScreen;
    if (text == caption::Click_To_Continue)
        return TriggerAction::ReleaseOnScreen;
    return TriggerAction::None;
}

TriggerAction externalPoll(const QString& text, bool lineHigh, bool buttonEnabled) {
    if (buttonEnabled && lineHigh) {
        if (text == caption::Put_Up_Gate)
            return TriggerAction::RaiseGate;
        if (text == caption::Start)
            return TriggerAction::StartCadence;
        if (text == caption::Delay)
            return TriggerAction::HoldExternally;
    }
    // The button is disabled during an external hold, so this row ignores the flag.
    if (!lineHigh && text == caption::Delayed_Externally)
        return TriggerAction::ReleaseExternal;
    return TriggerAction::None;
}

} // namespace

TriggerAction triggerAction(const QString& caption, Trigger trigger, bool lineHigh,
                            bool buttonEnabled) {
    return trigger == Trigger::ScreenClick ? screenClick(caption)
                                           : externalPoll(caption, lineHigh, buttonEnabled);
}

} // namespace korvane
