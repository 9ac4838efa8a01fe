#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace vivirov {

// The machine's memory tier and the local-model settings that go with it.
// Recomputed on every detect(); nothing is cached.
struct HardwareProfile {
    int64_t totalRAMGB = 0;
    int64_t maxCtx = 0;
    std::string kvType;
    bool enableRozazu = false;
    bool enableMicroFleet = false;
    bool mlockWeights = false;
    int64_t nPredict = 0;
    int64_t ubatch = 0;
    int64_t batch = 0;
    std::string label;

    bool operator==(const HardwareProfile&) const = default;

    // By VIVIROV_HW_PROFILE when it names a tier, else by physical memory.
    static HardwareProfile detect();
    // The same choice for a given memory size in bytes (detect() passes the machine's).
    static HardwareProfile detect(uint64_t physicalBytes);

    static HardwareProfile small(int64_t gb);
    static HardwareProfile medium(int64_t gb);
    // Reads VIVIROV_LONG_CTX on every call: "1" gives the long-context form.
    static HardwareProfile large(int64_t gb);

    // The profile as the eleven environment variables of the local stack.
    std::map<std::string, std::string> env() const;

    // Installed memory: the larger of MemTotal (which leaves out what the
    // kernel reserved) and the online memory blocks, so a 12 GiB machine is not
    // counted as 11.x GiB and dropped a tier.
    static uint64_t physicalMemoryBytes();
};

} // namespace vivirov
