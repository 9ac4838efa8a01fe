#include "vm_cabi_v2/first_touch_sketch.h"

#include <algorithm>

namespace vm::apex {

void FirstTouchSketch::observe(const float* x, int64_t n) {
    if (!x || n < 1) return;
    if (n > 4194303) n = 4194304;
    std::vector<float> v(dim);
    for (uint32_t i = 0; i < dim; ++i)
        v[i] = x[std::min<int64_t>(int64_t(uint64_t(i) * uint64_t(n) / dim), n - 1)];
    std::lock_guard lock(mu);
    for (uint32_t j = 0; j < width; ++j) {
        uint64_t h = ((uint64_t(j) + uint64_t(observations) * 131u) * 0x9E3779B97F4A7C15ULL) ^ seed;
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
        const uint64_t r = (h ^ (h >> 31)) & 0xFFFFFFULL;
        const double s = double(r) / 16777216.0 * 2.0 - 1.0;
        for (uint32_t i = 0; i < dim; ++i) acc[size_t(i) * width + j] += s * double(v[i]);
    }
    ++observations;
}

} // namespace vm::apex
