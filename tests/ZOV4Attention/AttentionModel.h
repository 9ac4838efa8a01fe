#pragma once
// The tiny DeepSeek-V4 model of these tests, written once per process, and
// forward objects built on it that compute on the CPU.
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/vm_cabi_v2/dequant.h"
#include "engine/zov4/zov4_forward.h"
#include "tests/support/DeepSeekV4Fixture.h"
#include "tests/support/TempDir.h"

namespace vivirov::test {

inline const DeepSeekV4Model& attentionModel(const std::string& name = "f3", const DeepSeekV4Options& options = {}) {
    static TempDir dir;
    static std::mutex mu;
    static std::map<std::string, DeepSeekV4Model> models;
    std::lock_guard lock(mu);
    auto it = models.find(name);
    if (it == models.end()) it = models.emplace(name, writeDeepSeekV4Model(dir.path(), name, options)).first;
    return it->second;
}

inline std::unique_ptr<vm::zov4::ZOV4Forward> cpuModel(const std::string& name = "f3") {
    // As root the default wired expert ring would really be locked: keep it small.
    setenv("VIVIROV_UVM_RING_MB", "4", 0);
    auto f = std::make_unique<vm::zov4::ZOV4Forward>(attentionModel(name).path());
    f->use_gpu = false;
    return f;
}

inline std::vector<float> decodedTensor(const GGUFTensor& t) {
    uint64_t n = 1;
    for (uint64_t d : t.dims) n *= d;
    std::vector<float> v(n);
    vm::dequant_tensor(t.type, t.data, v.data(), n);
    return v;
}

inline std::vector<float> randomValues(size_t n, uint32_t seed, float spread = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-spread, spread);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

} // namespace vivirov::test
