#include "VivirovVizivurad/Appearance/SpringEasing.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vivirov {

double SpringEasing::value(double seconds) const {
    const double omega = 2.0 * std::numbers::pi / std::max(response, 1e-3);
    const double zeta = std::max(dampingFraction, 0.0);
    const double decay = std::exp(-zeta * omega * seconds);
    if (zeta < 1.0) {
        const double damped = omega * std::sqrt(1.0 - zeta * zeta);
        return 1.0 - decay * (std::cos(damped * seconds) + zeta * omega / damped * std::sin(damped * seconds));
    }
    // Critically (or over-) damped: no oscillation.
    return 1.0 - decay * (1.0 + omega * seconds);
}

double SpringEasing::settleSeconds() const {
    const double omega = 2.0 * std::numbers::pi / std::max(response, 1e-3);
    const double zeta = std::clamp(dampingFraction, 0.05, 1.0);
    return std::log(1000.0) / (zeta * omega);
}

double SpringEasing::progress(double t) const {
    if (t >= 1.0) return 1.0;
    if (t <= 0.0) return 0.0;
    return value(t * settleSeconds());
}

} // namespace vivirov
