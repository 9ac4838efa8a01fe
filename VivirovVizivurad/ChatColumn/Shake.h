#pragma once
#include <cmath>
#include <numbers>

namespace vivirov {

// A horizontal shake: at the animated value v the content moves by
// amount × sin(v × π × shakesPerUnit). From n to n + 1 it swings through
// `shakesPerUnit` half-waves and ends where it started.
struct Shake {
    double amount = 7;
    double shakesPerUnit = 3;
    double animatableData = 0;

    double offset() const { return amount * std::sin(animatableData * std::numbers::pi * shakesPerUnit); }
};

} // namespace vivirov
