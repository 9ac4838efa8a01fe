#pragma once
// The tests' own decoder of the GGML block layouts, written from the layout
// description rather than from the engine: byte offsets, nibble and high-bit
// placement, and the packing of the twelve K-quant scale bytes. It follows the
// same single-precision rounding rules, so its floats must equal the engine's
// bit for bit.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

namespace vivirov::test {

inline float refHalf(const uint8_t* p) {
    uint16_t h;
    std::memcpy(&h, p, 2);
    return GGUFWriter::f16Value(h);
}

// Scale and minimum of group g: the first four groups keep six bits in bytes
// g (scale) and g + 4 (minimum); the last four keep their low four bits in
// byte g + 4 (scale in the low nibble, minimum in the high nibble) and their
// top two bits in the top bits of bytes g − 4 (scale) and g (minimum).
inline void refScaleMin(const uint8_t* s, int g, int& sc, int& m) {
    if (g < 4) {
        sc = s[g] & 0x3F;
        m = s[g + 4] & 0x3F;
        return;
    }
    sc = (s[g + 4] & 0x0F) + 16 * (s[g - 4] >> 6);
    m = (s[g + 4] >> 4) + 16 * (s[g] >> 6);
}

// Writes scale and minimum (0-63) of group g into the twelve scale bytes,
// leaving every other group's bits as they are.
inline void refPackScaleMin(uint8_t* s, int g, int sc, int m) {
    if (g < 4) {
        s[g] = uint8_t((s[g] & 0xC0) | sc);
        s[g + 4] = uint8_t((s[g + 4] & 0xC0) | m);
        return;
    }
    s[g + 4] = uint8_t((sc & 0x0F) | ((m & 0x0F) << 4));
    s[g - 4] = uint8_t((s[g - 4] & 0x3F) | ((sc >> 4) << 6));
    s[g] = uint8_t((s[g] & 0x3F) | ((m >> 4) << 6));
}

inline std::vector<float> refDecode(uint32_t type, const uint8_t* p, uint64_t count) {
    std::vector<float> out(count);
    const GgmlGeometry g = ggmlGeometry(type);
    for (uint64_t b = 0; b < count / g.elementsPerBlock; ++b) {
        const uint8_t* blk = p + b * g.bytesPerBlock;
        float* y = out.data() + b * g.elementsPerBlock;
        switch (type) {
        case 0: std::memcpy(y, blk, 4); break;
        case 1: y[0] = refHalf(blk); break;
        case 6: {
            const float d = refHalf(blk);
            uint32_t high;
            std::memcpy(&high, blk + 2, 4);
            for (int j = 0; j < 32; ++j) {
                const uint8_t byte = blk[6 + (j % 16)];
                const int nib = j < 16 ? (byte & 15) : (byte >> 4);
                y[j] = d * float(nib + 16 * int((high >> j) & 1) - 16);
            }
            break;
        }
        case 8:
            for (int j = 0; j < 32; ++j) y[j] = refHalf(blk) * float(int8_t(blk[2 + j]));
            break;
        case 12:
        case 13: {
            const bool five = type == 13;
            const float d = refHalf(blk), dmin = refHalf(blk + 2);
            const uint8_t* nibbles = blk + (five ? 48 : 16);
            for (int g8 = 0; g8 < 8; ++g8) {
                int sc, m;
                refScaleMin(blk + 4, g8, sc, m);
                const float a = d * float(sc), c = dmin * float(m);
                for (int l = 0; l < 32; ++l) {
                    const uint8_t byte = nibbles[32 * (g8 / 2) + l];
                    int q = (g8 % 2) ? (byte >> 4) : (byte & 15);
                    if (five) q += 16 * ((blk[16 + l] >> g8) & 1);
                    y[32 * g8 + l] = std::fma(a, float(q), -c);
                }
            }
            break;
        }
        case 14: {
            const float d = refHalf(blk + 208);
            for (int i = 0; i < 256; ++i) {
                const int h = i / 128, r = i % 128, quarter = r / 32, l = r % 32;
                const uint8_t low = blk[64 * h + l + (quarter % 2) * 32];
                const int nib = quarter < 2 ? (low & 15) : (low >> 4);
                const int hi = (blk[128 + 32 * h + l] >> (2 * quarter)) & 3;
                const int sc = int8_t(blk[192 + 8 * h + l / 16 + 2 * quarter]);
                y[i] = (d * float(sc)) * float(nib + 16 * hi - 32);
            }
            break;
        }
        }
    }
    return out;
}

} // namespace vivirov::test
