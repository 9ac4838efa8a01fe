#include "kivi_pos_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "half.h"

namespace kivi {

void PosCodec::quant(const float* x, int d, int n, uint8_t* codes, float& scale, float& zero,
                     uint16_t* positions, uint16_t* values) {
    std::vector<uint8_t> outlier(size_t(std::max(d, 0)), 0);
    if (n >= 1 && d >= 1) {
        // Min-heap on magnitude of the kept set; a later position must be
        // strictly larger to displace its smallest member.
        std::vector<std::pair<float, int>> set;
        set.reserve(size_t(n));
        auto greater = [](const std::pair<float, int>& a, const std::pair<float, int>& b) { return a.first > b.first; };
        for (int i = 0; i < d; ++i) {
            float m = std::fabs(x[i]);
            if (int(set.size()) < n) {
                set.emplace_back(m, i);
                std::push_heap(set.begin(), set.end(), greater);
            } else if (m > set.front().first) {
                std::pop_heap(set.begin(), set.end(), greater);
                set.back() = {m, i};
                std::push_heap(set.begin(), set.end(), greater);
            }
        }
        std::vector<int> chosen;
        for (const auto& e : set) chosen.push_back(e.second);
        std::sort(chosen.begin(), chosen.end());
        for (size_t j = 0; j < chosen.size(); ++j) {
            positions[j] = uint16_t(chosen[j]);
            values[j] = vm::float_to_half(x[chosen[j]]);
            outlier[size_t(chosen[j])] = 1;
        }
    }

    float lo = 1e30f, hi = -1e30f;
    bool any = false;
    for (int i = 0; i < d; ++i) {
        if (outlier[size_t(i)]) continue;
        any = true;
        lo = std::min(lo, x[i]);
        hi = std::max(hi, x[i]);
    }
    if (!any) lo = hi = 0.0f;
    zero = lo;
    scale = hi - lo > 0.0f ? (hi - lo) / 3.0f : 1.0f;

    std::memset(codes, 0, size_t((std::max(d, 0) + 3) / 4));
    for (int i = 0; i < d; ++i) {
        float q = std::round((x[i] - zero) / scale);
        if (!(q >= 0.0f)) q = 0.0f; // NaN reads as 0
        if (q > 3.0f) q = 3.0f;
        codes[i / 4] |= uint8_t(unsigned(q) << (2 * (i % 4)));
    }
}

void decode_row(const uint8_t* codes, float scale, float zero, const uint16_t* positions,
                const uint16_t* values, int d, int n, float* out) {
    for (int i = 0; i < d; ++i) {
        unsigned code = (codes[i / 4] >> (2 * (i % 4))) & 3u;
        out[i] = std::fma(scale, float(code), zero);
    }
    for (int j = 0; j < n; ++j) out[positions[j]] = vm::half_to_float(values[j]);
}

Params params_from_env(int head_dim, int n_ctx, int ctx) {
    double frac = 0.08;
    if (const char* s = std::getenv("KIVI_FRAC")) {
        char* end = nullptr;
        double v = std::strtod(s, &end);
        if (end != s && v > 0.0 && v <= 1.0) frac = v;
    }
    Params p;
    p.n_outliers = int(frac * double(head_dim));
    p.window = 128;
    if (const char* s = std::getenv("KIVI_WINDOW")) p.window = std::atoi(s);
    if (p.window < 0) p.window = 0;
    p.window = std::min(p.window, n_ctx);
    p.window = std::min(p.window, ctx);
    return p;
}

} // namespace kivi
