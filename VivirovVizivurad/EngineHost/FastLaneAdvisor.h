#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VivirovVizivurad/EngineHost/FastLaneVerdict.h"

namespace vivirov {

// Judges whether local GGUF model files fit in memory, and finds the ones
// installed in the usual folders. Stateless; the folder walks block, so call
// them where blocking is fine.
class FastLaneAdvisor {
public:
    static constexpr double kMemoryFactor = 1.15;
    static constexpr int64_t kOverheadBytes = 2147483648;    // 2 GiB
    static constexpr double kTightFraction = 0.3;
    static constexpr int64_t kSmallestModelBytes = 67108864; // 64 MiB

    // Physical memory, as the hardware profile reads it.
    static int64_t totalRAMBytes();
    // The file's size, 0 when it cannot be read.
    static int64_t fileSizeBytes(const std::string& path);
    // Memory a model file needs: ceil(size × 1.15) + 2 GiB.
    static int64_t needBytes(int64_t fileBytes);

    // Whether the last path component's extension is "gguf" in any case.
    static bool hasGGUFExtension(const std::string& path);

    // The app's models folder, ~/models and ~/Models, in that order.
    static std::vector<std::string> defaultModelRoots();
    // Every item named *.gguf (any case) in the roots' whole trees, once per
    // resolved path (in the form first found), stably sorted by file name.
    static std::vector<std::string> installedGGUFs(const std::optional<std::vector<std::string>>& roots = std::nullopt);

    static FastLaneVerdict assess(const std::string& path, int64_t fileBytes, int64_t totalRAMBytes);
    // The installed files of at least 64 MiB, largest first (stable).
    static std::vector<FastLaneVerdict> assessInstalled(int64_t totalRAMBytes);
};

} // namespace vivirov
