#pragma once
// Every gated feed-forward network of one mixture-of-experts call on the CPU
// (the routed experts and the shared one) in a single job of the
// deterministic pool: the participants claim runs of up/gate rows of all
// networks, then runs of output features, whose down rows read the finished
// activations. A participant that has claimed an output run waits only for
// the up/gate runs still being computed, not for every worker to arrive, so
// the call costs one hand-off instead of one per matrix. Each value is
// computed wholly on one thread in a fixed order: the bits do not depend on
// the pool's size.
#include <cstdint>

namespace vm::zov4 {

// One network for `rows` activation rows: up and gate (N rows of K weights)
// give A (rows × N), down (K rows of N weights) gives D (rows × K), which is
// added to the output.
struct GatedFfn {
    uint32_t type[3] = {0, 0, 0};                 // up, gate, down
    const uint8_t* W[3] = {nullptr, nullptr, nullptr};
    int32_t N = 0, K = 0, rows = 0;
    const float* X = nullptr;                     // rows × K inputs
    float *U = nullptr, *G = nullptr, *A = nullptr; // rows × N each
    float* D = nullptr;                           // rows × K
    // A routed expert: row r's weight, with the activation clamp; null for
    // the shared expert (up · silu(gate)).
    const float* weight = nullptr;
    float clamp = 0.0f;
    // Output row of each activation row; null: row r.
    const int32_t* out_rows = nullptr;
};

// out[out_rows[r]·K + j] += D[r·K + j], networks in order and rows in order
// within each. Returns false, writing nothing, when the networks differ in K
// or a product is malformed.
bool run_gated_ffns(const GatedFfn* nets, int count, float* out);

} // namespace vm::zov4
