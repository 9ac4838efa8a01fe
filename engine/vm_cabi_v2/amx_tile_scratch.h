#pragma once
// Scratch of the BLAS routes of the batched matrix product: the dequantised
// matrix or current tile, staged outputs, and the activation panel of the
// current tile. One per process; it only grows. Its users take turns through
// `mu` (held for a whole product).
#include <cstddef>
#include <mutex>
#include <vector>

namespace vm::apex {

struct AmxTileScratch {
    std::vector<float> weights;
    std::vector<float> outputs;
    std::vector<float> panel;
    std::mutex mu;

    // Grows weights, outputs and panel to at least a, b and c floats (new
    // space zero-filled); never shrinks.
    void ensure(size_t a, size_t b, size_t c);
};

AmxTileScratch& amx_tile_scratch();

} // namespace vm::apex
