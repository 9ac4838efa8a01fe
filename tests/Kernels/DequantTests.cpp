// The dequantisers against the tests' own decoder of the block layouts, on
// hand-built blocks and on random valid blocks of every type, in both the
// vector and the portable build.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/kernel_ops.h"
#include "tests/Kernels/KernelTestSupport.h"
#include "tests/Kernels/ReferenceDecoder.h"

using namespace vivirov::test;

namespace {

std::vector<float> decode(uint32_t type, const std::string& bytes, uint64_t count) {
    std::vector<float> out(count, 1234.5f);
    EXPECT_TRUE(vm::dequant_tensor(type, reinterpret_cast<const uint8_t*>(bytes.data()), out.data(), count));
    return out;
}

std::string halfBytes(float v) {
    const uint16_t h = GGUFWriter::f16Bits(v);
    return std::string(reinterpret_cast<const char*>(&h), 2);
}

} // namespace

TEST(Dequant, UnsupportedIdsWriteNothingAndCount0IsAcceptedForSupportedOnes) {
    const std::string zeros(256 * 4, '\0');
    const auto* src = reinterpret_cast<const uint8_t*>(zeros.data());
    for (uint32_t id : {2u, 3u, 4u, 5u, 7u, 9u, 10u, 11u, 15u, 16u, 30u, 0xFFFFFFFFu}) {
        for (uint64_t count : {0ull, 32ull}) {
            std::vector<float> dst(32, 7.0f);
            EXPECT_FALSE(vm::dequant_tensor(id, src, dst.data(), count)) << id;
            EXPECT_EQ(dst, std::vector<float>(32, 7.0f)) << id;
        }
    }
    for (uint32_t id : {0u, 1u, 6u, 8u, 12u, 13u, 14u}) {
        float sentinel = 7.0f;
        EXPECT_TRUE(vm::dequant_tensor(id, src, &sentinel, 0)) << id;
        EXPECT_EQ(sentinel, 7.0f) << id;
    }
}

TEST(Dequant, HandBuiltBlocks) {
    // Q8_0 with d = 0: zeros carrying the sign of each code.
    std::string q8 = halfBytes(0.0f);
    for (int i = 0; i < 32; ++i) q8 += char(i % 2 ? -(i + 1) : i);
    for (const auto& ops : kernelBuilds()) {
        SCOPED_TRACE(ops.name);
        ScopedKernels use(ops);
        const auto y = decode(8, q8, 32);
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(y[i], 0.0f);
            EXPECT_EQ(std::signbit(y[i]), i % 2 == 1) << i;
        }

        // Q5_0: all bits clear gives −16·d; all high bits and nibbles set gives 15·d.
        const float d = 0.375f;
        const auto lo = decode(6, halfBytes(d) + std::string(20, '\0'), 32);
        const auto hi = decode(6, halfBytes(d) + std::string(20, '\xFF'), 32);
        for (int i = 0; i < 32; ++i) {
            EXPECT_EQ(lo[i], -16.0f * d);
            EXPECT_EQ(hi[i], 15.0f * d);
        }

        // Q4_K: scale bytes all zero decode to zeros whatever the nibbles; with
        // dmin 0 each value is its nibble times d·sc.
        std::mt19937 rng(5);
        std::string k4 = randomBlocks(12, 256, rng);
        std::memset(k4.data() + 4, 0, 12);
        for (float v : decode(12, k4, 256)) EXPECT_EQ(v, 0.0f);
        k4 = randomBlocks(12, 256, rng);
        std::memcpy(k4.data() + 2, halfBytes(0.0f).data(), 2);
        const float dk = refHalf(reinterpret_cast<const uint8_t*>(k4.data()));
        const auto y4 = decode(12, k4, 256);
        for (int g = 0; g < 8; ++g) {
            int sc, m;
            refScaleMin(reinterpret_cast<const uint8_t*>(k4.data()) + 4, g, sc, m);
            for (int l = 0; l < 32; ++l) {
                const uint8_t byte = uint8_t(k4[16 + 32 * (g / 2) + l]);
                const int q = g % 2 ? byte >> 4 : byte & 15;
                EXPECT_EQ(y4[32 * g + l], float(q) * (dk * float(sc))) << g << ' ' << l;
            }
        }

        // Q6_K: nibble 0 and high bits 0 decode to −32·d·sc.
        std::string k6 = randomBlocks(14, 256, rng);
        std::memset(k6.data(), 0, 192);
        const float d6 = refHalf(reinterpret_cast<const uint8_t*>(k6.data()) + 208);
        const auto y6 = decode(14, k6, 256);
        for (int i = 0; i < 256; ++i) {
            const int sc = int8_t(k6[192 + 8 * (i / 128) + (i % 32) / 16 + 2 * ((i % 128) / 32)]);
            EXPECT_EQ(y6[i], (d6 * float(sc)) * -32.0f) << i;
        }
    }
}

TEST(Dequant, HalfSpecialValuesWidenExactly) {
    struct Case {
        uint16_t bits;
        float value;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {0x0000, 0.0f},           {0x8000, -0.0f},          {0x7C00, inf},
        {0xFC00, -inf},           {0x0001, std::ldexp(1.0f, -24)}, {0x83FF, -std::ldexp(1023.0f, -24)},
        {0x0400, std::ldexp(1.0f, -14)}, {0x7BFF, 65504.0f}, {0x3C00, 1.0f},
        {0xC000, -2.0f},
    };
    std::string src;
    for (const auto& c : cases) src += std::string(reinterpret_cast<const char*>(&c.bits), 2);
    src += std::string("\x01\x7E", 2); // a quiet NaN with payload
    src += std::string("\x01\x7C", 2); // a signalling one widens quiet, as F16C does
    for (const auto& ops : kernelBuilds()) {
        SCOPED_TRACE(ops.name);
        ScopedKernels use(ops);
        // Repeat the pattern past eight values so the wide path runs too.
        std::string many;
        for (int r = 0; r < 3; ++r) many += src;
        const auto y = decode(1, many, many.size() / 2);
        for (size_t r = 0; r < 3; ++r) {
            for (size_t i = 0; i < cases.size(); ++i) {
                const float got = y[r * (cases.size() + 2) + i];
                EXPECT_EQ(std::memcmp(&got, &cases[i].value, 4), 0) << cases[i].bits;
            }
            for (size_t k = 0; k < 2; ++k) {
                const float nan = y[r * (cases.size() + 2) + cases.size() + k];
                uint32_t nanBits;
                std::memcpy(&nanBits, &nan, 4);
                EXPECT_EQ(nanBits, 0x7FC02000u);
            }
        }
    }
}

TEST(Dequant, KQuantScaleAndMinimumUnpackForEverySixBitValueInEveryGroup) {
    std::mt19937 rng(11);
    for (uint32_t type : {12u, 13u}) {
        for (int g = 0; g < 8; ++g) {
            for (int v = 0; v < 64; ++v) {
                std::string blk = randomBlocks(type, 256, rng);
                auto* s = reinterpret_cast<uint8_t*>(blk.data()) + 4;
                const int m = (v * 37 + 11 * g) % 64;
                refPackScaleMin(s, g, v, m);
                int sc2, m2;
                refScaleMin(s, g, sc2, m2);
                ASSERT_EQ(sc2, v);
                ASSERT_EQ(m2, m);
                const auto want = refDecode(type, reinterpret_cast<const uint8_t*>(blk.data()), 256);
                const auto got = decode(type, blk, 256);
                ASSERT_TRUE(bitsEqual(got, want)) << "type " << type << " group " << g << " value " << v;
            }
        }
    }
}

TEST(Dequant, RandomBlocksOfEveryTypeMatchTheLayoutInBothBuilds) {
    for (uint32_t type : {0u, 1u, 6u, 8u, 12u, 13u, 14u}) {
        const uint64_t count = 256 * 6;
        const std::string bytes = randomBlocks(type, count, 1000 + type);
        const auto want = refDecode(type, reinterpret_cast<const uint8_t*>(bytes.data()), count);
        for (const auto& ops : kernelBuilds()) {
            ScopedKernels use(ops);
            EXPECT_TRUE(bitsEqual(decode(type, bytes, count), want)) << "type " << type << " build " << ops.name;
        }
    }
}

TEST(Dequant, RowDecodeEqualsItsBlocksOneAfterAnother) {
    const std::string row = randomBlocks(12, 512, 77);
    const auto* p = reinterpret_cast<const uint8_t*>(row.data());
    std::vector<float> blocks(512);
    vm::deq_q4_k(p, blocks.data());
    vm::deq_q4_k(p + 144, blocks.data() + 256);
    EXPECT_TRUE(bitsEqual(decode(12, row, 512), blocks));

    const struct {
        uint32_t type;
        void (*one)(const uint8_t*, float*);
        int n;
    } decoders[] = {{8, vm::deq_q8_0, 32}, {13, vm::deq_q5_k, 256}, {14, vm::deq_q6_k, 256}};
    for (const auto& d : decoders) {
        const std::string blk = randomBlocks(d.type, d.n, 3);
        std::vector<float> out(d.n + 1, 9.0f);
        d.one(reinterpret_cast<const uint8_t*>(blk.data()), out.data());
        EXPECT_EQ(out[d.n], 9.0f) << "wrote past its block";
        out.pop_back();
        EXPECT_TRUE(bitsEqual(out, refDecode(d.type, reinterpret_cast<const uint8_t*>(blk.data()), d.n)));
    }
}
