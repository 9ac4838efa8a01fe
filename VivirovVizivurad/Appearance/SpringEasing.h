#pragma once

namespace vivirov {

// A damped spring from rest at 0 towards 1, given by its response (the period
// of the undamped oscillation, seconds) and its damping fraction (1 is
// critical; below 1 it overshoots once or more).
struct SpringEasing {
    double response = 0.42;
    double dampingFraction = 0.86;

    // Position after `seconds`.
    double value(double seconds) const;
    // When the oscillation's envelope has fallen below a thousandth of the
    // distance: the length of an animation driven by this spring.
    double settleSeconds() const;
    // Progress 0..1 of that length to position; ends exactly at 1.
    double progress(double t) const;
};

} // namespace vivirov
