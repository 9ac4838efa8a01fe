#include "VivirovVizivurad/EngineHost/HardwareProfile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

HardwareProfile make(int64_t gb, const char* label, int64_t ctx, const char* kv, bool features,
                     int64_t nPredict, int64_t ubatch, int64_t batch) {
    HardwareProfile p;
    p.totalRAMGB = gb;
    p.maxCtx = ctx;
    p.kvType = kv;
    p.enableRozazu = p.enableMicroFleet = p.mlockWeights = features;
    p.nPredict = nPredict;
    p.ubatch = ubatch;
    p.batch = batch;
    p.label = label;
    return p;
}

uint64_t memTotalBytes() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t kb = 0;
    std::string unit;
    while (in >> key >> kb >> unit)
        if (key == "MemTotal:") return kb * 1024;
    return 0;
}

uint64_t onlineBlockBytes() {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::ifstream sizeFile("/sys/devices/system/memory/block_size_bytes");
    std::string hex;
    if (!(sizeFile >> hex)) return 0;
    uint64_t blockSize = std::stoull(hex, nullptr, 16);
    uint64_t online = 0;
    for (const auto& entry : fs::directory_iterator("/sys/devices/system/memory", ec)) {
        if (entry.path().filename().string().rfind("memory", 0) != 0) continue;
        std::ifstream state(entry.path() / "online");
        int on = 0;
        if (state >> on && on == 1) ++online;
    }
    return online * blockSize;
}

} // namespace

HardwareProfile HardwareProfile::small(int64_t gb) { return make(gb, "8GB-safe", 32768, "q4_0", false, 2048, 64, 256); }
HardwareProfile HardwareProfile::medium(int64_t gb) { return make(gb, "16GB", 65536, "q4_0", true, 4096, 128, 1024); }
HardwareProfile HardwareProfile::large(int64_t gb) {
    if (env::isOn("VIVIROV_LONG_CTX")) return make(gb, "24GB-longctx", 262144, "q1_0", true, 4096, 256, 2048);
    return make(gb, "24GB-interactive", 65536, "q4_0", true, 4096, 64, 512);
}

uint64_t HardwareProfile::physicalMemoryBytes() {
    uint64_t blocks = 0;
    try {
        blocks = onlineBlockBytes();
    } catch (...) {
        blocks = 0;
    }
    return std::max(memTotalBytes(), blocks);
}

HardwareProfile HardwareProfile::detect() { return detect(physicalMemoryBytes()); }

HardwareProfile HardwareProfile::detect(uint64_t physicalBytes) {
    const int64_t gb = int64_t(physicalBytes >> 30);
    if (auto forced = env::string("VIVIROV_HW_PROFILE")) {
        const std::string word = text::lowercased(*forced);
        if (word == "8g" || word == "8gb" || word == "small") return small(std::max<int64_t>(gb, 8));
        if (word == "16g" || word == "16gb" || word == "medium") return medium(std::max<int64_t>(gb, 16));
        if (word == "24g" || word == "24gb" || word == "large" || word == "lab")
            return large(std::max<int64_t>(gb, 24));
    }
    const uint64_t units = physicalBytes >> 32;
    if (units < 3) return small(gb);
    if (units < 5) return medium(gb);
    return large(gb);
}

std::map<std::string, std::string> HardwareProfile::env() const {
    auto flag = [](bool b) { return std::string(b ? "1" : "0"); };
    return {
        {"VIVIROV_N_CTX", std::to_string(maxCtx)},
        {"RIZERU_N_CTX", std::to_string(maxCtx)},
        {"RIZERU_KV_TYPE", kvType},
        {"VIVIROV_VM_NPREDICT", std::to_string(nPredict)},
        {"RIZERU_N_PREDICT", std::to_string(nPredict)},
        {"RIZERU_BATCH", std::to_string(batch)},
        {"RIZERU_UBATCH", std::to_string(ubatch)},
        {"VIVIROV_ENABLE_ROZAZU", flag(enableRozazu)},
        {"VIVIROV_ENABLE_MICRO", flag(enableMicroFleet)},
        {"RIZERU_MLOCK", flag(mlockWeights)},
        {"VIVIROV_HW_LABEL", label},
    };
}

} // namespace vivirov
