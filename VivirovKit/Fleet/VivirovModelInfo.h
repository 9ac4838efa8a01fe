#pragma once
#include <cstdint>
#include <string>

namespace vivirov {

// One model file under the user's models folder.
struct VivirovModelInfo {
    std::string path;        // absolute; a symbolic link resolved one level
    std::string displayName; // the file name without ".gguf" and ".tcm"
    std::string quantHint;   // "Q1_0", "Q4_K", "Q8_0", "IQ2" or "gguf"
    int64_t sizeBytes = 0;
    bool isTCM = false;      // the second model-file format (".tcm")

    const std::string& id() const { return path; }
    // Binary gigabytes with two decimals: "1.50 GB".
    std::string sizeGB() const;
    bool operator==(const VivirovModelInfo&) const = default;
};

} // namespace vivirov
