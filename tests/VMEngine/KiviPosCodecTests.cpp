// The 2-bit KV row codec with positional outliers, its parameters, and the
// half-precision conversions it stores with.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/vm_cabi/half.h"
#include "engine/vm_cabi/kivi_pos_codec.h"
#include "tests/support/GGUFWriter.h"

namespace {

struct Encoded {
    std::vector<uint8_t> codes;
    float scale = 0, zero = 0;
    std::vector<uint16_t> positions, values;

    unsigned code(int i) const { return (codes[size_t(i / 4)] >> (2 * (i % 4))) & 3u; }
};

Encoded encode(const std::vector<float>& x, int n) {
    Encoded e;
    int d = int(x.size());
    e.codes.assign(size_t((d + 3) / 4), 0xFF);
    e.positions.assign(size_t(n) + 1, 0xBEEF);
    e.values.assign(size_t(n) + 1, 0xBEEF);
    kivi::PosCodec::quant(x.data(), d, n, e.codes.data(), e.scale, e.zero, e.positions.data(), e.values.data());
    EXPECT_EQ(e.positions[size_t(n)], 0xBEEF); // nothing written past n
    return e;
}

std::vector<float> decode(const Encoded& e, int d, int n) {
    std::vector<float> y(static_cast<size_t>(d));
    kivi::decode_row(e.codes.data(), e.scale, e.zero, e.positions.data(), e.values.data(), d, n, y.data());
    return y;
}

class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~EnvVar() { unsetenv(name_); }

private:
    const char* name_;
};

} // namespace

TEST(KiviPosCodec, EqualValuesKeepTheFirstPositionsAsOutliers) {
    std::vector<float> x(128, 0.3f);
    Encoded e = encode(x, 10);
    for (int j = 0; j < 10; ++j) EXPECT_EQ(e.positions[size_t(j)], j);
    EXPECT_EQ(e.zero, 0.3f);
    EXPECT_EQ(e.scale, 1.0f);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(e.code(i), 0u);
    std::vector<float> y = decode(e, 128, 10);
    EXPECT_EQ(y[10], 0.3f);
    EXPECT_EQ(y[127], 0.3f);
    EXPECT_EQ(y[0], vm::half_to_float(vm::float_to_half(0.3f)));
    EXPECT_NE(y[0], 0.3f);
}

TEST(KiviPosCodec, CodesRoundHalvesAwayFromZeroOverTheNonOutlierRange) {
    // Outliers ±100 at 5 and 6; the rest spans -1.5 … 1.5, so scale is 1.
    std::vector<float> x = {-1.5f, 1.5f, -0.5f, 0.0f, 0.3f, 100.0f, -100.0f, 1.0f, -1.0f};
    Encoded e = encode(x, 2);
    EXPECT_EQ(e.positions[0], 5);
    EXPECT_EQ(e.positions[1], 6);
    EXPECT_EQ(e.zero, -1.5f);
    EXPECT_EQ(e.scale, 1.0f);
    const unsigned expected[] = {0, 3, 1, 2, 2, 3, 0, 3, 1}; // outliers clamp to 3 and 0
    for (int i = 0; i < 9; ++i) EXPECT_EQ(e.code(i), expected[i]) << i;
    std::vector<float> y = decode(e, 9, 2);
    EXPECT_EQ(y[2], -0.5f);
    EXPECT_EQ(y[5], 100.0f);
    EXPECT_EQ(y[6], -100.0f);
}

TEST(KiviPosCodec, WithoutOutliersTheWholeRowSetsTheRange) {
    std::vector<float> x = {2.0f, -4.0f, 5.0f, 0.5f};
    Encoded e = encode(x, 0);
    EXPECT_EQ(e.positions[0], 0xBEEF);
    EXPECT_EQ(e.zero, -4.0f);
    EXPECT_EQ(e.scale, 3.0f);
    EXPECT_EQ(e.code(2), 3u);
    EXPECT_EQ(e.code(1), 0u);
}

TEST(KiviPosCodec, ALaterEqualMagnitudeNeverDisplacesAnEarlierOutlier) {
    std::vector<float> x(64, 0.1f);
    x[10] = 9.0f;
    x[20] = -8.0f;
    x[3] = 5.0f;
    x[40] = -5.0f;
    Encoded e = encode(x, 3);
    EXPECT_EQ(std::vector<uint16_t>(e.positions.begin(), e.positions.begin() + 3), (std::vector<uint16_t>{3, 10, 20}));
    // And a strictly larger later one does.
    x[50] = 5.5f;
    Encoded f = encode(x, 3);
    EXPECT_EQ(std::vector<uint16_t>(f.positions.begin(), f.positions.begin() + 3), (std::vector<uint16_t>{10, 20, 50}));
}

TEST(KiviPosCodec, DecodedRowsStayWithinHalfAStepAndOutliersAreExactToHalf) {
    std::mt19937 rng(1);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    for (int round = 0; round < 50; ++round) {
        std::vector<float> x(128);
        for (auto& v : x) v = dist(rng);
        x[rng() % 128] = 40.0f;
        Encoded e = encode(x, 10);
        std::vector<float> y = decode(e, 128, 10);
        std::vector<bool> isOut(128, false);
        for (int j = 0; j < 10; ++j) isOut[e.positions[size_t(j)]] = true;
        for (int i = 0; i < 128; ++i) {
            if (isOut[size_t(i)]) EXPECT_EQ(y[size_t(i)], vm::half_to_float(vm::float_to_half(x[size_t(i)])));
            else EXPECT_LE(std::fabs(y[size_t(i)] - x[size_t(i)]), e.scale * 0.5f + 1e-6f);
        }
    }
}

TEST(KiviPosCodec, ParametersComeFromTheEnvironmentWithinLimits) {
    struct Case {
        const char* frac;
        const char* window;
        int ctx;
        int outliers;
        int windowOut;
    };
    const Case cases[] = {
        {nullptr, nullptr, 4096, 10, 128}, {"2", nullptr, 4096, 10, 128}, {"0", nullptr, 4096, 10, 128},
        {"-0.5", nullptr, 4096, 10, 128},  {"abc", nullptr, 4096, 10, 128}, {"0.25", nullptr, 4096, 32, 128},
        {"1", nullptr, 4096, 128, 128},    {nullptr, "-5", 4096, 10, 0},    {nullptr, "100000", 4096, 10, 4096},
        {nullptr, "100000", 300, 10, 300}, {nullptr, "x", 4096, 10, 0},     {nullptr, "64", 4096, 10, 64},
    };
    for (const Case& c : cases) {
        EnvVar f("KIVI_FRAC", c.frac), w("KIVI_WINDOW", c.window);
        kivi::Params p = kivi::params_from_env(128, 4096, c.ctx);
        EXPECT_EQ(p.n_outliers, c.outliers) << (c.frac ? c.frac : "-") << " " << (c.window ? c.window : "-");
        EXPECT_EQ(p.window, c.windowOut) << (c.frac ? c.frac : "-") << " " << (c.window ? c.window : "-");
    }
}

TEST(HalfPrecision, ConversionsAreExactAndRoundTiesToEven) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        float f = vm::half_to_float(uint16_t(h));
        if (std::isnan(f)) {
            ASSERT_TRUE(std::isnan(vivirov::test::GGUFWriter::f16Value(uint16_t(h))));
            continue;
        }
        ASSERT_EQ(f, vivirov::test::GGUFWriter::f16Value(uint16_t(h))) << h;
        ASSERT_EQ(vm::float_to_half(f), h) << h;
    }
    std::mt19937 rng(2);
    for (int i = 0; i < 200000; ++i) {
        uint32_t bits = rng();
        float f;
        std::memcpy(&f, &bits, 4);
        if (std::isnan(f)) continue;
        ASSERT_EQ(vm::float_to_half(f), vivirov::test::GGUFWriter::f16Bits(f)) << f;
    }
    EXPECT_EQ(vm::float_to_half(1.0f + 1.0f / 2048), 0x3C00); // a tie goes to the even neighbour
    EXPECT_EQ(vm::float_to_half(1.0f + 3.0f / 2048), 0x3C02);
    EXPECT_EQ(vm::float_to_half(70000.0f), 0x7C00);
}
