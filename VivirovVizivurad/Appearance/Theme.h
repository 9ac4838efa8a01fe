#pragma once
#include <QColor>
#include <QEasingCurve>

#include "VivirovVizivurad/Appearance/SpringEasing.h"

namespace vivirov {

// Animations and colours shared across views that do not follow the theme.
class Theme {
public:
    // The main window's spring (response 0.42 s, damping 0.86) as an easing
    // curve; run it for springDurationMs.
    static const SpringEasing springModel;
    static QEasingCurve spring();
    static int springDurationMs();

    // Ease-out over 0.18 s.
    static QEasingCurve easeOut();
    static constexpr int easeOutDurationMs = 180;

    static QColor amber();   // sRGB 0.95, 0.72, 0.28
    static QColor danger();  // sRGB 0.95, 0.32, 0.36

    Theme() = delete;
};

} // namespace vivirov
