#include "vm_v2/lora_manager.h"

#include <cstddef>
#include <limits>

namespace lora {

namespace {

// rank × dim floats, or false when either is negative or the product is absurd.
bool float_count(int32_t rank, int32_t dim, uint64_t* n) {
    if (rank < 0 || dim < 0) return false;
    *n = uint64_t(rank) * uint64_t(dim);
    return *n <= uint64_t(std::numeric_limits<int32_t>::max());
}

} // namespace

int32_t LoRAManager::add_adapter(int32_t in_dim, int32_t out_dim, int32_t rank, float scale, const float* A,
                                 const float* B) {
    uint64_t na = 0, nb = 0;
    if (!float_count(rank, in_dim, &na) || !float_count(rank, out_dim, &nb)) return -1;
    if (adapters.size() >= size_t(std::numeric_limits<int32_t>::max())) return -1;
    const uint64_t a_off = pool.size();
    if (A) pool.insert(pool.end(), A, A + na);
    else pool.resize(pool.size() + na, 0.0f);
    const uint64_t b_off = pool.size();
    if (B) pool.insert(pool.end(), B, B + nb);
    else pool.resize(pool.size() + nb, 0.0f);
    adapters.push_back({in_dim, out_dim, rank, scale, a_off, b_off, nullptr, nullptr});
    for (LoRAWeight& w : adapters) {
        w.a = pool.data() + w.a_off;
        w.b = pool.data() + w.b_off;
    }
    return int32_t(adapters.size() - 1);
}

} // namespace lora
