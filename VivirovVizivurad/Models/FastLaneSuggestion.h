#pragma once
#include <string>

namespace vivirov {

// A proposal to make a freshly downloaded model the active one, because it
// fits in memory while the active model swaps.
struct FastLaneSuggestion {
    std::string displayName;
    std::string modelPath;
    std::string activePath;

    bool operator==(const FastLaneSuggestion&) const = default;
};

} // namespace vivirov
