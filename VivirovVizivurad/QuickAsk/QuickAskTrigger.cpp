#include "VivirovVizivurad/QuickAsk/QuickAskTrigger.h"

#include <X11/X.h>
#include <X11/keysym.h>

namespace vivirov {

bool QuickAskTrigger::matches(int qtKey, Qt::KeyboardModifiers modifiers) {
    const auto considered = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    return qtKey == Qt::Key_J && (modifiers & considered) == (Qt::ControlModifier | Qt::ShiftModifier);
}

bool QuickAskTrigger::matchesX11(unsigned long keysym, unsigned int state) {
    // Mod1 is Alt and Mod4 Super on every common layout; Lock and Mod2 (Num Lock) are ignored.
    constexpr unsigned int considered = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;
    return (keysym == XK_j || keysym == XK_J) && (state & considered) == (ControlMask | ShiftMask);
}

} // namespace vivirov
