#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vivirov {

// Whether one model file fits this machine's memory.
struct FastLaneVerdict {
    enum class Lane { instant, tight, swapBound };

    std::string path;
    int64_t fileBytes = 0;
    int64_t needBytes = 0;
    int64_t headroomBytes = 0; // memory minus need; negative when it does not fit
    Lane lane = Lane::instant;

    bool operator==(const FastLaneVerdict&) const = default;

    static const char* rawValue(Lane lane); // "instant", "tight", "swapBound"
    static std::optional<Lane> laneFromRaw(std::string_view raw);
};

} // namespace vivirov
