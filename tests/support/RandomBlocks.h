#pragma once
// Random but valid tensor data in every GGML encoding the engines read (F32,
// F16, Q5_0, Q8_0, Q4_K, Q5_K, Q6_K): every half-precision scale is finite and
// small enough that decoded values and their products stay finite, while all
// code bits (nibbles, high bits, packed 6-bit scales and minima) are random.
// The block layouts are written out in RandomBlocks.cpp as tests' own view of
// the format, independent of the engine's decoders.
#include <cstdint>
#include <random>
#include <string>

namespace vivirov::test {

struct GgmlGeometry {
    uint32_t elementsPerBlock;
    uint32_t bytesPerBlock;
};

// Geometry of a supported type id; {0, 0} for any other id.
GgmlGeometry ggmlGeometry(uint32_t ggmlType);

// Bytes of `elements` values (a whole number of blocks) of the type.
uint64_t ggmlBytes(uint32_t ggmlType, uint64_t elements);

// `elements` random values of the type; `elements` must be a whole number of
// blocks. The same seed gives the same bytes.
std::string randomBlocks(uint32_t ggmlType, uint64_t elements, uint32_t seed);
std::string randomBlocks(uint32_t ggmlType, uint64_t elements, std::mt19937& rng);

} // namespace vivirov::test
