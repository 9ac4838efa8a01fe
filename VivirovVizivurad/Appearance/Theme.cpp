#include "VivirovVizivurad/Appearance/Theme.h"

#include <cmath>

namespace vivirov {

const SpringEasing Theme::springModel{0.42, 0.86};

namespace {
qreal themeSpring(qreal progress) { return Theme::springModel.progress(progress); }
} // namespace

QEasingCurve Theme::spring() {
    QEasingCurve curve;
    curve.setCustomType(&themeSpring);
    return curve;
}

int Theme::springDurationMs() { return int(std::lround(springModel.settleSeconds() * 1000.0)); }

QEasingCurve Theme::easeOut() { return QEasingCurve(QEasingCurve::OutQuad); }

QColor Theme::amber() { return QColor::fromRgbF(0.95f, 0.72f, 0.28f, 1.0f); }
QColor Theme::danger() { return QColor::fromRgbF(0.95f, 0.32f, 0.36f, 1.0f); }

} // namespace vivirov
