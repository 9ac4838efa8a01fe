// Pooling of projected values and gates into compressed rows, against a
// double-precision reference of the window softmax, normalisation and weight
// (the rotary tail is checked on its own elsewhere).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/zov4/zov4_attention.h"

namespace {

struct Pooled {
    std::vector<float> out, pooled, normed;
};

struct Inputs {
    int C, r, n;
    std::vector<float> kv, gate, ape, norm;
    std::vector<int> blockPos;

    int width() const { return r == 4 ? 2 * C : C; }
    int blocks() const { return n / r; }

    Inputs(int C_, int r_, int n_, uint32_t seed, bool equalGates = false) : C(C_), r(r_), n(n_) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        kv.resize(size_t(n) * width());
        gate.resize(kv.size());
        ape.resize(size_t(r) * width());
        norm.resize(size_t(C));
        for (float& x : kv) x = u(rng);
        for (float& x : gate) x = equalGates ? 0.25f : 2 * u(rng);
        for (float& x : ape) x = equalGates ? 0.0f : u(rng);
        for (float& x : norm) x = 1.0f + 0.2f * u(rng);
        for (int b = 0; b < blocks(); ++b) blockPos.push_back(b * r);
    }

    Pooled run() const {
        const size_t rows = size_t(std::max(blocks(), 0)) * C;
        Pooled p{std::vector<float>(rows, -9.0f), std::vector<float>(rows, -9.0f), std::vector<float>(rows, -9.0f)};
        vm::zov4::compressor_prefill_proj(kv.data(), gate.data(), ape.data(), norm.data(), blockPos.data(),
                                          p.out.data(), C, n, r, 64, 2, 4096, 10000.0f, 1.0f, 1.0f, 1.0f, 32.0f,
                                          1.0f, 1e-6f, p.pooled.data(), p.normed.data());
        return p;
    }

    // The window of block b, channel c: (value, score) pairs.
    std::vector<std::pair<double, double>> window(int b, int c) const {
        std::vector<std::pair<double, double>> w;
        const int cw = width();
        auto entry = [&](int t, int col) {
            w.emplace_back(kv[size_t(t) * cw + col], double(gate[size_t(t) * cw + col]) + ape[size_t(t % r) * cw + col]);
        };
        if (r == 4) {
            for (int t = (b - 1) * 4; t < b * 4; ++t)
                if (t >= 0) entry(t, c);
            for (int t = b * 4; t < b * 4 + 4; ++t) entry(t, C + c);
        } else {
            for (int t = b * r; t < b * r + r; ++t) entry(t, c);
        }
        return w;
    }

    double pooledReference(int b, int c) const {
        const auto w = window(b, c);
        double m = -INFINITY, den = 0, acc = 0;
        for (const auto& e : w) m = std::max(m, e.second);
        for (const auto& e : w) den += std::exp(e.second - m);
        for (const auto& e : w) acc += std::exp(e.second - m) / den * e.first;
        return acc;
    }
};

// Ratios with and without the overlapping window, partial last blocks.
TEST(CompressorPool, MatchesReference) {
    struct Case {
        int C, r, n, rows;
    } cases[] = {{64, 4, 7, 1}, {64, 4, 16, 4}, {64, 128, 300, 2}, {128, 2, 5, 2}, {64, 4, 3, 0}};
    for (const Case& c : cases) {
        const Inputs in(c.C, c.r, c.n, 5);
        ASSERT_EQ(in.blocks(), c.rows);
        const Pooled p = in.run();
        for (int b = 0; b < c.rows; ++b) {
            double ss = 0;
            for (int ch = 0; ch < c.C; ++ch) {
                const double want = in.pooledReference(b, ch);
                ASSERT_NEAR(p.pooled[size_t(b) * c.C + ch], want, 1e-5) << "r " << c.r << " block " << b;
                ss += want * want;
            }
            const double inv = 1 / std::sqrt(1e-6 + ss / c.C);
            for (int ch = 0; ch < c.C; ++ch)
                ASSERT_NEAR(p.normed[size_t(b) * c.C + ch], in.pooledReference(b, ch) * inv, 1e-4);
        }
        // Nothing is written past the complete blocks.
        EXPECT_TRUE(std::all_of(p.out.begin() + size_t(c.rows) * c.C, p.out.end(), [](float x) { return x == -9.0f; }));
    }
}

// The unrotated part of a row is the normalised row times the weight (the
// rotary tail only touches the last 64 values).
TEST(CompressorPool, WeightAppliedBeforeRotation) {
    const Inputs in(128, 4, 12, 8);
    const Pooled p = in.run();
    for (int b = 0; b < 3; ++b)
        for (int ch = 0; ch < 64; ++ch)
            ASSERT_EQ(p.out[size_t(b) * 128 + ch], p.normed[size_t(b) * 128 + ch] * in.norm[ch]);
}

// Equal scores across a window give the plain mean of its values: eight
// entries for r = 4 after the first block, four (second half only) for block 0.
TEST(CompressorPool, EqualGatesGiveTheMean) {
    for (const int r : {4, 8}) {
        const Inputs in(64, r, 3 * r, 9, /*equalGates=*/true);
        const Pooled p = in.run();
        for (int b = 0; b < 3; ++b)
            for (int ch = 0; ch < 64; ++ch) {
                double sum = 0;
                const auto w = in.window(b, ch);
                for (const auto& e : w) sum += e.first;
                ASSERT_EQ(w.size(), r == 4 ? (b == 0 ? 4u : 8u) : size_t(r));
                ASSERT_NEAR(p.pooled[size_t(b) * 64 + ch], sum / double(w.size()), 1e-6) << r << " " << b;
            }
    }
}

} // namespace
