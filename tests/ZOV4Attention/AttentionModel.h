#pragma once
// The forward-object tests' tiny DeepSeek-V4 model and CPU forward objects,
// plus random inputs for the attention tests.
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/ZOV4Forward/ForwardTestSupport.h"

namespace vivirov::test {

inline std::unique_ptr<vm::zov4::ZOV4Forward> cpuModel() { return cpuForward(sharedDeepSeekV4Model("f3").path()); }

inline std::vector<float> randomValues(size_t n, uint32_t seed, float spread = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-spread, spread);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

} // namespace vivirov::test
