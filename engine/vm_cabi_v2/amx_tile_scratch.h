#pragma once
// Scratch of the BLAS routes of the batched matrix product: the dequantised
// matrix, staged outputs, and each pool participant's dequantised tile. One per process; it only grows. Its users take turns through
// `mu` (held for a whole product).
#include <cstddef>
#include <mutex>
#include <vector>

namespace vm::apex {

struct AmxTileScratch {
    std::vector<float> weights;
    std::vector<float> outputs;
    // The activation rows of the fused row route, packed in pairs.
    std::vector<float> pairs;
    // One tile per pool participant, indexed by participant.
    std::vector<std::vector<float>> tiles;
    std::mutex mu;

    // Grows weights and outputs to at least a and b floats (new space
    // zero-filled); never shrinks.
    void ensure(size_t a, size_t b);
    // At least `participants` tiles of at least `floats` floats each.
    void ensure_tiles(int participants, size_t floats);
};

AmxTileScratch& amx_tile_scratch();

} // namespace vm::apex
