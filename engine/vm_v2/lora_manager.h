#pragma once
// Registry of low-rank (LoRA) adapters: every A and B matrix back to back in
// one float pool. Registration only stores them; no decode path applies them.
// Not thread-safe: the engine serialises its callers.
#include <cstdint>
#include <vector>

namespace lora {

struct LoRAWeight {
    int32_t in_dim;
    int32_t out_dim;
    int32_t rank;
    float scale;
    uint64_t a_off; // index of A's first float in the pool; A holds rank × in_dim floats
    uint64_t b_off; // index of B's first float; B holds rank × out_dim floats
    const float* a; // into the pool, refreshed whenever the pool may have moved
    const float* b;
};

class LoRAManager {
public:
    // Appends the adapter's matrices (a null one is stored as zeros) and
    // returns its index; -1 for a negative dimension or sizes beyond 2^31 floats.
    int32_t add_adapter(int32_t in_dim, int32_t out_dim, int32_t rank, float scale, const float* A, const float* B);

    std::vector<float> pool;
    std::vector<LoRAWeight> adapters;
};

} // namespace lora
