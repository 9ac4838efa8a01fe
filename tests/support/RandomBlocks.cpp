#include "tests/support/RandomBlocks.h"

#include <cstring>
#include <stdexcept>

#include "tests/support/GGUFWriter.h"

namespace vivirov::test {

namespace {

void putHalf(std::string& out, size_t at, float v) {
    const uint16_t h = GGUFWriter::f16Bits(v);
    std::memcpy(out.data() + at, &h, 2);
}

float uniform(std::mt19937& rng, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
}

// A scale of either sign with magnitude in [lo, hi).
float signedScale(std::mt19937& rng, float lo, float hi) {
    const float m = uniform(rng, lo, hi);
    return (rng() & 1u) ? -m : m;
}

void randomBytes(std::string& out, size_t at, size_t n, std::mt19937& rng) {
    for (size_t i = 0; i < n; ++i) out[at + i] = char(rng() & 0xFFu);
}

} // namespace

GgmlGeometry ggmlGeometry(uint32_t t) {
    switch (t) {
    case 0: return {1, 4};     // F32
    case 1: return {1, 2};     // F16
    case 6: return {32, 22};   // Q5_0: half d, u32 fifth bits, 16 nibble bytes
    case 8: return {32, 34};   // Q8_0: half d, 32 signed bytes
    case 12: return {256, 144}; // Q4_K: half d, half dmin, 12 scale bytes, 128 nibble bytes
    case 13: return {256, 176}; // Q5_K: as Q4_K with 32 high-bit bytes before the nibbles
    case 14: return {256, 210}; // Q6_K: 128 low nibbles, 64 high-bit bytes, 16 scales, half d
    default: return {0, 0};
    }
}

uint64_t ggmlBytes(uint32_t t, uint64_t elements) {
    const GgmlGeometry g = ggmlGeometry(t);
    if (g.elementsPerBlock == 0) throw std::invalid_argument("unsupported GGML type");
    if (elements % g.elementsPerBlock) throw std::invalid_argument("not a whole number of blocks");
    return elements / g.elementsPerBlock * g.bytesPerBlock;
}

std::string randomBlocks(uint32_t t, uint64_t elements, uint32_t seed) {
    std::mt19937 rng(seed);
    return randomBlocks(t, elements, rng);
}

std::string randomBlocks(uint32_t t, uint64_t elements, std::mt19937& rng) {
    const GgmlGeometry g = ggmlGeometry(t);
    std::string out(ggmlBytes(t, elements), '\0');
    const uint64_t blocks = elements / g.elementsPerBlock;
    for (uint64_t b = 0; b < blocks; ++b) {
        const size_t at = size_t(b * g.bytesPerBlock);
        switch (t) {
        case 0: {
            const float v = uniform(rng, -1.0f, 1.0f);
            std::memcpy(out.data() + at, &v, 4);
            break;
        }
        case 1: putHalf(out, at, uniform(rng, -2.0f, 2.0f)); break;
        case 6:
        case 8:
            putHalf(out, at, signedScale(rng, 1.0f / 512, 1.0f / 16));
            randomBytes(out, at + 2, g.bytesPerBlock - 2, rng);
            break;
        case 12:
        case 13:
            // Scale codes reach 63 and nibbles 31, so keep d and dmin small.
            putHalf(out, at, uniform(rng, 1.0f / 4096, 1.0f / 256));
            putHalf(out, at + 2, uniform(rng, 1.0f / 4096, 1.0f / 256));
            randomBytes(out, at + 4, g.bytesPerBlock - 4, rng);
            break;
        case 14:
            randomBytes(out, at, 208, rng);
            putHalf(out, at + 208, signedScale(rng, 1.0f / 8192, 1.0f / 512));
            break;
        }
    }
    return out;
}

} // namespace vivirov::test
