#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace vivirov {

// One download as the model library shows it.
struct DownloadState {
    std::string id; // the ModelRef's id
    int64_t received = 0;
    int64_t total = 0;
    double bytesPerSec = 0;
    bool finished = false;
    std::optional<std::string> failed; // why it failed, when it did

    bool operator==(const DownloadState&) const = default;
};

} // namespace vivirov
