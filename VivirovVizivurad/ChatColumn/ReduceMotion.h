#pragma once
#include <optional>

namespace vivirov {

// The desktop's Reduce Motion preference: on when GNOME's
// org.gnome.desktop.interface enable-animations is false. The environment
// variable VIVIROV_REDUCE_MOTION ("1" on, "0" off) overrides the desktop.
// Read once per process; tests may force a value.
class ReduceMotion {
public:
    static bool enabled();
    // Forces the answer (none: back to the environment and the desktop).
    static void force(std::optional<bool> value);
    // The desktop's setting alone; none when the schema is not installed.
    static std::optional<bool> desktopSetting();

    ReduceMotion() = delete;
};

} // namespace vivirov
