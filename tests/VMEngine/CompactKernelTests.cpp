// Compact weight kernels against plain integer references (exact equality),
// their decode tables, and the projection path that quantises activations.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/vm_cabi/compact_matrix.h"
#include "engine/vm_cabi/vm_engine_core.h"
#include "tests/VMEngine/QwenModel.h"
#include "tests/support/TempDir.h"

namespace {

int weightOf(unsigned code) { return code == 1 ? 1 : code == 2 ? -1 : 0; }

vm::TernMatrix randomTern(std::mt19937& rng, int rows, int cols) {
    vm::TernMatrix m;
    m.rows = rows;
    m.cols = cols;
    m.padded_cols = (cols + 15) / 16 * 16;
    m.row_bytes = m.padded_cols / 4 + 2; // rows may carry slack bytes
    m.packed.resize(size_t(rows) * size_t(m.row_bytes));
    for (auto& b : m.packed) b = uint8_t(rng());
    for (int r = 0; r < rows; ++r) m.row_scale.push_back(0.01f + float(rng() % 1000) / 997.0f);
    return m;
}

// The plain definition: integer sum of weight × activation, scaled in f64.
std::vector<float> ternReference(const vm::TernMatrix& m, float s, const std::vector<int8_t>& xq) {
    std::vector<float> y(size_t(m.rows));
    for (int r = 0; r < m.rows; ++r) {
        long long sum = 0;
        for (int c = 0; c < m.padded_cols; ++c) {
            unsigned code = (m.packed[size_t(r) * size_t(m.row_bytes) + size_t(c / 4)] >> (2 * (c % 4))) & 3u;
            sum += weightOf(code) * xq[size_t(c)];
        }
        y[size_t(r)] = float(double(m.row_scale[size_t(r)]) * double(s) * double(sum));
    }
    return y;
}

vm::BitMatrix randomBits(std::mt19937& rng, int rows, int nMain, int nSalient) {
    vm::BitMatrix m;
    m.rows = rows;
    m.n_main = nMain;
    m.n_salient = nSalient;
    m.main_words = (nMain + 63) / 64;
    m.salient_words = (nSalient + 63) / 64;
    m.main_bits.resize(size_t(rows) * size_t(m.main_words));
    m.salient_bits.resize(size_t(rows) * size_t(m.salient_words));
    for (auto& w : m.main_bits) w = (uint64_t(rng()) << 32) | rng();
    for (auto& w : m.salient_bits) w = (uint64_t(rng()) << 32) | rng();
    for (int r = 0; r < rows; ++r) {
        m.main_scale.push_back(0.5f + float(rng() % 100) / 71.0f);
        m.salient_scale.push_back(float(rng() % 100) / 313.0f);
    }
    for (int k = 0; k < nSalient; ++k) m.perm.push_back(int32_t(rng() % uint32_t(nMain)));
    return m;
}

long long bitDot(const uint64_t* words, int n, const int8_t* x) {
    long long sum = 0;
    for (int j = 0; j < n; ++j) sum += (words[j / 64] >> (j % 64)) & 1 ? x[j] : -x[j];
    return sum;
}

std::vector<int8_t> randomActs(std::mt19937& rng, size_t n) {
    std::vector<int8_t> x(n);
    for (auto& v : x) v = int8_t(int(rng() % 255) - 127);
    return x;
}

} // namespace

TEST(CompactKernels, DecodeTablesExpandBitsAndTernaryCodes) {
    const uint8_t b = 0b10'01'00'11;
    EXPECT_EQ(std::vector<int>(vm::tern_lut[b], vm::tern_lut[b] + 4), (std::vector<int>{0, 0, 1, -1}));
    EXPECT_EQ(std::vector<int>(vm::vm_sign[0x01], vm::vm_sign[0x01] + 8),
              (std::vector<int>{1, -1, -1, -1, -1, -1, -1, -1}));
    EXPECT_EQ(vm::compact_chunks(63), 1);
    EXPECT_EQ(vm::compact_chunks(64), 64);
    EXPECT_EQ(vm::compact_chunks(1000), 64);
}

TEST(CompactKernels, TernaryProductEqualsTheIntegerReferenceExactly) {
    std::mt19937 rng(9);
    for (auto [rows, cols] : std::vector<std::pair<int, int>>{{63, 40}, {64, 64}, {130, 17}, {1, 16}, {200, 300}}) {
        vm::TernMatrix m = randomTern(rng, rows, cols);
        std::vector<int8_t> xq = randomActs(rng, size_t(m.padded_cols));
        std::vector<float> y(size_t(rows), -1.0f);
        vm::matvec_ternary_mt_s(m, 0.0123f, xq.data(), y.data());
        EXPECT_EQ(y, ternReference(m, 0.0123f, xq)) << rows << "x" << cols;
    }
}

TEST(CompactKernels, OneBitProductEqualsTheIntegerReferenceExactly) {
    std::mt19937 rng(10);
    for (auto [rows, nMain, nSalient] :
         std::vector<std::tuple<int, int, int>>{{63, 100, 0}, {64, 64, 16}, {130, 33, 7}, {7, 200, 40}}) {
        vm::BitMatrix m = randomBits(rng, rows, nMain, nSalient);
        std::vector<int8_t> xq = randomActs(rng, size_t(nMain)), perm(static_cast<size_t>(nSalient));
        for (int k = 0; k < nSalient; ++k) perm[size_t(k)] = xq[size_t(m.perm[size_t(k)])];
        const float s = 0.031f;
        std::vector<float> y(static_cast<size_t>(rows));
        vm::matvec_w1a8_mt_s(m, s, xq.data(), perm.data(), y.data());
        for (int r = 0; r < rows; ++r) {
            long long d1 = bitDot(m.main_bits.data() + size_t(r) * size_t(m.main_words), nMain, xq.data());
            long long d2 = nSalient ? bitDot(m.salient_bits.data() + size_t(r) * size_t(m.salient_words), nSalient,
                                             perm.data())
                                    : 0;
            float expected = float(double(m.main_scale[size_t(r)]) * double(s) * double(d1) +
                                   double(s) * double(m.salient_scale[size_t(r)]) * double(d2));
            ASSERT_EQ(y[size_t(r)], expected) << "row " << r;
        }
    }
}

TEST(CompactKernels, ProjectionsQuantiseActivationsAndAddTheBias) {
    using namespace vivirov::test;
    setenv("VIVIROV_VM_MLOCK", "0", 1);
    TempDir dir;
    QwenModel model(QwenShape{});
    VMEngine e(model.writer().write(dir.file("m.gguf")));
    std::mt19937 rng(4);
    std::vector<float> x(64);
    for (auto& v : x) v = float(int(rng() % 2001) - 1000) / 300.0f;
    x[5] = 0.5f * 3.0f / 127.0f * 127.0f; // values land on and beside half steps
    const std::vector<float> bias(64, 0.25f);
    float amax = 0;
    for (float v : x) amax = std::max(amax, std::fabs(v));
    const float s = amax / 127.0f;

    e.tern_layers.resize(2);
    e.tern_layers[1].m[0] = randomTern(rng, 64, 64);
    e.use_tern_layers = true;
    std::vector<float> y(64);
    e.projq(1, 0, e.layers[1].wq, &bias, x.data(), y.data());
    std::vector<int8_t> xq(64);
    for (int i = 0; i < 64; ++i)
        xq[size_t(i)] = int8_t(std::clamp(std::round(double(1.0f / s) * double(x[size_t(i)])), -127.0, 127.0));
    std::vector<float> expected = ternReference(e.tern_layers[1].m[0], s, xq);
    for (int r = 0; r < 64; ++r) EXPECT_EQ(y[size_t(r)], expected[size_t(r)] + 0.25f);

    e.use_tern_layers = false;
    e.bit_layers.resize(2);
    e.bit_layers[0].m[6] = randomBits(rng, 64, 64, 8);
    e.use_bit_layers = true;
    e.projq(0, 6, e.layers[0].w_down, nullptr, x.data(), y.data());
    const vm::BitMatrix& m = e.bit_layers[0].m[6];
    for (int i = 0; i < 64; ++i)
        xq[size_t(i)] = int8_t(std::clamp(std::round(double((1.0f / s) * x[size_t(i)])), -127.0, 127.0));
    std::vector<int8_t> perm(8);
    for (int k = 0; k < 8; ++k) perm[size_t(k)] = xq[size_t(m.perm[size_t(k)])];
    for (int r = 0; r < 64; ++r) {
        long long d1 = bitDot(m.main_bits.data() + size_t(r) * size_t(m.main_words), 64, xq.data());
        long long d2 = bitDot(m.salient_bits.data() + size_t(r) * size_t(m.salient_words), 8, perm.data());
        float want = float(double(m.main_scale[size_t(r)]) * double(s) * double(d1) +
                           double(s) * double(m.salient_scale[size_t(r)]) * double(d2));
        EXPECT_EQ(y[size_t(r)], want);
    }
}
