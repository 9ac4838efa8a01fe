// The attention building blocks against tables and double-precision
// references written here: FP8 rounding of key-value rows, the YaRN rotary
// tail and attention with per-head sinks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/zov4/zov4_attention.h"

namespace {

using vm::zov4::fp8_kv_quantize;
using vm::zov4::mha_with_sinks;
using vm::zov4::rope_tail;

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- FP8 E4M3 ---------------------------------------------------------------

// The 127 finite magnitudes, code c at index c.
std::vector<double> fp8Codes() {
    std::vector<double> v;
    for (int c = 0; c <= 126; ++c)
        v.push_back(c < 8 ? c * std::ldexp(1.0, -9) : (1.0 + (c % 8) / 8.0) * std::ldexp(1.0, c / 8 - 7));
    return v;
}

// Nearest code by brute force; on a tie the even code.
double fp8Nearest(double a) {
    static const std::vector<double> codes = fp8Codes();
    int best = 0;
    for (int c = 1; c < int(codes.size()); ++c) {
        const double dc = std::fabs(codes[c] - a), db = std::fabs(codes[best] - a);
        if (dc < db || (dc == db && c % 2 == 0)) best = c;
    }
    return codes[best];
}

// Reference rounding of one row: per 64-block power-of-two scale.
std::vector<float> fp8Reference(std::vector<float> row, int width, int rot) {
    for (int b = 0; b < width - rot; b += 64) {
        double amax = 0;
        for (int i = 0; i < 64; ++i) amax = std::max(amax, std::fabs(double(row[b + i])));
        const double scale = std::exp2(std::ceil(std::log2(std::max(amax, 1e-4) / 448.0)));
        for (int i = 0; i < 64; ++i) {
            const double f = std::clamp(row[b + i] / scale, -448.0, 448.0);
            const double v = fp8Nearest(std::fabs(f));
            row[b + i] = float(scale * (f < 0 ? -v : v));
        }
    }
    return row;
}

// Every code and every midpoint between neighbours, at scale 1 (each block
// holds 448, so its scale is 2^0) and at scale 2^-5, both signs.
TEST(Fp8KvQuantize, EveryCodeAndMidpoint) {
    const std::vector<double> codes = fp8Codes();
    std::vector<double> inputs, expected;
    for (int c = 0; c <= 126; ++c) {
        inputs.push_back(codes[c]);
        expected.push_back(codes[c]);
        if (c < 126) {
            inputs.push_back((codes[c] + codes[c + 1]) / 2);
            expected.push_back(codes[c % 2 == 0 ? c : c + 1]);
        }
    }
    for (const double scale : {1.0, std::ldexp(1.0, -5)}) {
        for (const double sign : {1.0, -1.0}) {
            for (size_t at = 0; at < inputs.size(); at += 63) {
                std::vector<float> row(128, 0.0f); // 64 rounded, 64-wide tail
                row[0] = float(448 * scale);
                const size_t n = std::min<size_t>(63, inputs.size() - at);
                for (size_t i = 0; i < n; ++i) row[1 + i] = float(sign * inputs[at + i] * scale);
                fp8_kv_quantize(row.data(), 128, 64, 1);
                for (size_t i = 0; i < n; ++i)
                    ASSERT_EQ(row[1 + i], float(sign * expected[at + i] * scale))
                        << "input " << inputs[at + i] << " scale " << scale;
            }
        }
    }
}

TEST(Fp8KvQuantize, NamedValues) {
    struct Case {
        float in, blockMax, out;
    } cases[] = {
        {1.0625f, 448.0f, 1.0f},   // tie below goes to the even code
        {1.1875f, 448.0f, 1.25f},  // tie above goes to the even code
        {500.0f, 500.0f, 512.0f},  // scale 2: 250 → 256 (code 1.0·2^7)
        {448.0f, 448.0f, 448.0f},  // code 126
        {-0.001f, 448.0f, -0.001953125f}, // subnormal: 0.512 steps of 2^-9 → code 1
        {0.0009765625f, 448.0f, 0.0f},     // half a subnormal step: tie → code 0
    };
    for (const Case& c : cases) {
        std::vector<float> row(128, 0.0f);
        row[0] = c.blockMax;
        row[1] = c.in;
        fp8_kv_quantize(row.data(), 128, 64, 1);
        EXPECT_EQ(row[1], c.out) << c.in;
    }
}

TEST(Fp8KvQuantize, TinyBlockUsesSmallestScale) {
    std::vector<float> row(128);
    for (int i = 0; i < 128; ++i) row[i] = float((i % 7 - 3) * 3.3e-5 + i * 1e-7);
    const std::vector<float> before = row;
    fp8_kv_quantize(row.data(), 128, 64, 1);
    const double scale = std::ldexp(1.0, -22);
    for (int i = 0; i < 64; ++i) {
        const double f = before[i] / scale;
        EXPECT_EQ(row[i], float(scale * (f < 0 ? -1 : 1) * fp8Nearest(std::fabs(f)))) << i;
    }
    for (int i = 64; i < 128; ++i) EXPECT_EQ(row[i], before[i]);
}

TEST(Fp8KvQuantize, RandomRowsMatchReference) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
    std::uniform_int_distribution<int> expo(-20, 12);
    const int width = 512, rot = 64, rows = 6;
    std::vector<float> data(size_t(width) * rows);
    for (int r = 0; r < rows; ++r)
        for (int b = 0; b < width; b += 64) {
            const int e = expo(rng); // one magnitude per block
            for (int i = 0; i < 64; ++i) data[size_t(r) * width + b + i] = std::ldexp(mant(rng), e);
        }
    std::vector<float> got = data;
    fp8_kv_quantize(got.data(), width, rot, rows);
    for (int r = 0; r < rows; ++r) {
        const std::vector<float> row(data.begin() + r * width, data.begin() + (r + 1) * width);
        const std::vector<float> want = fp8Reference(row, width, rot);
        for (int i = 0; i < width; ++i) ASSERT_EQ(got[size_t(r) * width + i], want[i]) << r << ":" << i;
        for (int i = width - rot; i < width; ++i) ASSERT_EQ(got[size_t(r) * width + i], row[i]);
    }
}

// Rows are only rounded when the unrotated part is a positive multiple of 64.
TEST(Fp8KvQuantize, UnroundedShapesLeaveRowsAlone) {
    struct Case {
        int width, rot;
        bool changes;
    } cases[] = {{512, 64, true}, {512, 60, false}, {64, 64, false}, {64, 0, true},
                 {100, 0, false}, {128, -1, false}, {32, 64, false}};
    for (const Case& c : cases) {
        std::vector<float> row(size_t(std::max(c.width, 1)) * 2);
        for (size_t i = 0; i < row.size(); ++i) row[i] = 0.1f + 0.0123f * float(i);
        const std::vector<float> before = row;
        fp8_kv_quantize(row.data(), c.width, c.rot, 2);
        EXPECT_EQ(row != before, c.changes) << c.width << "/" << c.rot;
    }
}

// ---- Rotary tail -----------------------------------------------------------

struct Yarn {
    int rot = 64, mode = 2, origCtx = 4096;
    float base = 10000.0f, freqScale = 1.0f, betaFast = 32.0f, betaSlow = 1.0f;
};

// Double-precision rotation of one row at position p, with ext = attn = 1.
std::vector<double> ropeReference(const std::vector<float>& row, int width, double p, const Yarn& y) {
    std::vector<double> out(row.begin(), row.end());
    const int rot = y.rot, pairs = rot / 2, keep = width - rot;
    if (pairs == 0) return out;
    auto corr = [&](double b) { return rot * std::log(y.origCtx / (2 * M_PI * b)) / (2 * std::log(y.base)); };
    const double low = std::max(0.0, std::floor(corr(y.betaFast)));
    const double high = std::min(double(rot - 1), std::ceil(corr(y.betaSlow)));
    const double span = std::max(high - low, 0.001);
    const double mag = 1 + 0.1 * std::log(1 / double(y.freqScale));
    for (int i = 0; i < pairs; ++i) {
        const double extrap = p * std::pow(double(y.base), -2.0 * i / rot);
        const double ramp = 1 - std::clamp((i - low) / span, 0.0, 1.0);
        const double theta = y.freqScale * extrap * (1 - ramp) + extrap * ramp;
        const int i0 = keep + (y.mode == 0 ? 2 * i : i), i1 = keep + (y.mode == 0 ? 2 * i + 1 : i + pairs);
        const double x0 = row[i0], x1 = row[i1];
        out[i0] = (x0 * std::cos(theta) - x1 * std::sin(theta)) * mag;
        out[i1] = (x0 * std::sin(theta) + x1 * std::cos(theta)) * mag;
    }
    return out;
}

std::vector<float> rope(const std::vector<float>& in, int width, int rowsPerToken, const std::vector<int>& pos,
                        const Yarn& y) {
    std::vector<float> out(in.size(), -7.0f);
    rope_tail(out.data(), in.data(), pos.data(), width, rowsPerToken, int64_t(pos.size()), y.rot, y.mode,
              y.origCtx, y.base, y.freqScale, 1.0f, 1.0f, y.betaFast, y.betaSlow);
    return out;
}

std::vector<float> randomRow(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(rng);
    return v;
}

TEST(RopeTail, PositionZeroWithoutScalingCopiesExactly) {
    for (const int mode : {0, 2}) {
        Yarn y;
        y.mode = mode;
        const std::vector<float> in = randomRow(3 * 128, 1);
        EXPECT_EQ(rope(in, 128, 3, {0}, y), in) << "mode " << mode;
    }
}

TEST(RopeTail, FactorFourScalesMagnitude) {
    Yarn y;
    y.freqScale = 0.25f;
    const std::vector<float> in = randomRow(128, 2);
    const std::vector<float> out = rope(in, 128, 1, {0}, y);
    const double mag = 1 + 0.1 * std::log(4.0);
    EXPECT_NEAR(mag, 1.1386, 1e-4);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(out[i], in[i]);
    for (int i = 64; i < 128; ++i) EXPECT_NEAR(out[i], in[i] * mag, 1e-6) << i;
}

// Ramp boundaries, both pairings, whole-row and empty tails, several tokens
// and rows per token, against the double reference.
TEST(RopeTail, MatchesReference) {
    struct Case {
        int width, rowsPerToken, rot, mode;
        float freqScale;
    } cases[] = {{128, 2, 64, 2, 1.0f}, {128, 2, 64, 2, 0.25f}, {128, 1, 64, 0, 0.25f},
                 {64, 3, 64, 2, 0.25f}, {64, 1, 0, 2, 1.0f},    {96, 2, 32, 0, 0.5f}};
    const std::vector<int> positions = {0, 1, 7, 130, 299};
    for (const Case& c : cases) {
        Yarn y;
        y.rot = c.rot;
        y.mode = c.mode;
        y.freqScale = c.freqScale;
        const size_t rowCount = positions.size() * c.rowsPerToken;
        const std::vector<float> in = randomRow(rowCount * c.width, 3);
        const std::vector<float> out = rope(in, c.width, c.rowsPerToken, positions, y);
        for (size_t r = 0; r < rowCount; ++r) {
            const std::vector<float> row(in.begin() + r * c.width, in.begin() + (r + 1) * c.width);
            const std::vector<double> want = ropeReference(row, c.width, positions[r / c.rowsPerToken], y);
            for (int i = 0; i < c.width; ++i)
                ASSERT_NEAR(out[r * c.width + i], want[i], 2e-4)
                    << "width " << c.width << " rot " << c.rot << " mode " << c.mode << " row " << r << " i " << i;
        }
    }
}

// ---- Attention with sinks --------------------------------------------------

std::vector<double> mhaReference(const std::vector<float>& q, const std::vector<float>& k,
                                 const std::vector<float>& mask, const std::vector<float>& sinks, int d,
                                 int heads, int nq, int nk, double scale) {
    std::vector<double> out(size_t(nq) * heads * d, 0.0);
    for (int t = 0; t < nq; ++t)
        for (int h = 0; h < heads; ++h) {
            std::vector<double> s(nk);
            double m = sinks.empty() ? -INFINITY : sinks[h];
            for (int j = 0; j < nk; ++j) {
                double dot = 0;
                for (int c = 0; c < d; ++c) dot += double(q[(size_t(t) * heads + h) * d + c]) * k[size_t(j) * d + c];
                s[j] = scale * dot + (mask.empty() ? 0.0 : mask[size_t(t) * nk + j]);
                m = std::max(m, s[j]);
            }
            if (!std::isfinite(m)) continue;
            double den = sinks.empty() ? 0 : std::exp(sinks[h] - m);
            for (int j = 0; j < nk; ++j) den += std::exp(s[j] - m);
            for (int j = 0; j < nk; ++j)
                for (int c = 0; c < d; ++c)
                    out[(size_t(t) * heads + h) * d + c] += std::exp(s[j] - m) / den * k[size_t(j) * d + c];
        }
    return out;
}

TEST(MhaWithSinks, MatchesReference) {
    struct Case {
        const char* name;
        int nk;
        bool sinks, causalMask;
        float sinkValue;
    } cases[] = {{"plain softmax", 9, false, false, 0},  {"sinks", 9, true, false, 0.7f},
                 {"sinks and mask", 9, true, true, -0.3f}, {"beyond the stack row", 700, true, true, 1.5f}};
    const int d = 64, heads = 3, nq = 4;
    for (const Case& c : cases) {
        const std::vector<float> q = randomRow(size_t(nq) * heads * d, 11);
        const std::vector<float> k = randomRow(size_t(c.nk) * d, 12);
        std::vector<float> mask, sinks;
        if (c.causalMask) {
            mask.assign(size_t(nq) * c.nk, 0.0f);
            for (int t = 0; t < nq; ++t)
                for (int j = c.nk - nq + t + 1; j < c.nk; ++j) mask[size_t(t) * c.nk + j] = -kInf;
        }
        if (c.sinks) sinks = {c.sinkValue, -c.sinkValue, 2 * c.sinkValue};
        std::vector<float> out(size_t(nq) * heads * d, 99.0f);
        mha_with_sinks(q.data(), k.data(), k.data(), mask.empty() ? nullptr : mask.data(),
                       sinks.empty() ? nullptr : sinks.data(), out.data(), d, heads, nq, c.nk, 0.125f);
        const std::vector<double> want = mhaReference(q, k, mask, sinks, d, heads, nq, c.nk, 0.125);
        for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], want[i], 2e-6) << c.name << " " << i;
    }
}

TEST(MhaWithSinks, ZeroRowsWhenNothingIsAttended) {
    const int d = 64, heads = 2, nk = 5;
    const std::vector<float> q = randomRow(size_t(heads) * d, 21);
    const std::vector<float> k = randomRow(size_t(nk) * d, 22);
    const std::vector<float> allHidden(nk, -kInf);
    const std::vector<float> hugeSinks = {1e30f, 1e30f}, sinks = {0.5f, 0.5f};
    struct Case {
        const char* name;
        const float* mask;
        const float* sinks;
        int nk;
        double tolerance;
    } cases[] = {{"huge sink", nullptr, hugeSinks.data(), nk, 0.0},
                 {"all masked with sinks", allHidden.data(), sinks.data(), nk, 0.0},
                 {"all masked without sinks", allHidden.data(), nullptr, nk, 0.0},
                 {"no keys", nullptr, sinks.data(), 0, 0.0}};
    for (const Case& c : cases) {
        std::vector<float> out(size_t(heads) * d, 99.0f);
        mha_with_sinks(q.data(), k.data(), k.data(), c.mask, c.sinks, out.data(), d, heads, 1, c.nk, 0.125f);
        for (float x : out) ASSERT_EQ(x, 0.0f) << c.name;
    }
}

} // namespace
