#pragma once
#include <qnamespace.h>

namespace vivirov {

// The Quick Ask key: J with exactly Ctrl and Shift among Shift, Ctrl, Alt
// and Super. Lock keys (Caps, Num) do not matter.
struct QuickAskTrigger {
    // A key press inside our windows, as Qt reports it.
    static bool matches(int qtKey, Qt::KeyboardModifiers modifiers);
    // A key press anywhere, as X11 reports it: the key's symbol without
    // shift level and the core modifier state (ShiftMask, ControlMask, ...).
    static bool matchesX11(unsigned long keysym, unsigned int state);
};

} // namespace vivirov
