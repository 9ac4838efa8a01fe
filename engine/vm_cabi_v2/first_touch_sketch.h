#pragma once
// A random-projection sketch of expert activations: each observation is
// resampled to 512 values and added into 8 columns with ±1-ish signs from a
// splitmix64 stream of (column, observation).
#include <cstdint>
#include <mutex>
#include <vector>

namespace vm::apex {

struct FirstTouchSketch {
    uint32_t dim = 512;
    uint32_t width = 8;
    uint32_t observations = 0;
    uint64_t seed = 0xA9E2;
    std::vector<double> acc = std::vector<double>(size_t(512) * 8, 0.0); // (i, j) at i·width + j
    std::mutex mu;

    // Folds x (n values) in; nothing for a null x or n < 1.
    void observe(const float* x, int64_t n);
};

} // namespace vm::apex
