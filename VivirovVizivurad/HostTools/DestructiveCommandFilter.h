#pragma once
#include <optional>
#include <string>

namespace vivirov {

// Names the reason when a shell command would wipe, format or lock up the
// machine. Pure: no state, no log, never fails. The rules are deliberately
// plain text tests, so they also catch harmless look-alikes (rm -rf of any
// absolute path) and miss rewritten flags (rm -r -f /).
class DestructiveCommandFilter {
public:
    DestructiveCommandFilter() = delete;
    // The refusal reason, or none when the command may run.
    static std::optional<std::string> isBlocked(const std::string& command);
};

} // namespace vivirov
