#pragma once

namespace vivirov {

// What may be running on the user's behalf, as the kill switch sees it.
struct KillSwitchInputs {
    bool godMode = false;         // tools run without asking
    bool controllerStreaming = false;
    bool chatStreaming = false;
    bool coworkStreaming = false;
};

// The hard-stop button shows while any of these holds.
constexpr bool killSwitchVisible(const KillSwitchInputs& in) {
    return in.godMode || in.controllerStreaming || in.chatStreaming || in.coworkStreaming;
}

} // namespace vivirov
