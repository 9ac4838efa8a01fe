// Flat entry points of the swarm KV paging diagnostic.
#include "swarm_paging/paging_diagnostic.h"
#include "vm_swarm.h"

namespace {

// The default first-generation model in the KIVI layout: 28 layers of 2 KV
// heads × 128 values.
constexpr uint64_t kLayers = 28;
constexpr uint64_t kWindowBytesPerPos = 1024; // f16 keys and values
constexpr uint64_t kCodeBytesPerPos = 128;    // 2-bit codes
constexpr uint64_t kScaleBytesPerPos = 32;    // f32 scales and zero points
constexpr uint64_t kOutlierBytes = 16;        // u16 position + f16 value, K and V of both heads
constexpr uint64_t kFixedBytes = 468;

} // namespace

extern "C" uint64_t vmswarm_kivi_blob_bytes(int32_t tokens, int32_t window, int32_t n_out) {
    if (tokens < 1) return 0;
    const uint64_t t = uint64_t(tokens);
    const uint64_t w = window > tokens ? t : uint64_t(window > 0 ? window : 0);
    const uint64_t o = uint64_t(n_out > 0 ? n_out : 0);
    const uint64_t per_layer = w * kWindowBytesPerPos + t * kCodeBytesPerPos + (o * kOutlierBytes + kScaleBytesPerPos) * t;
    return per_layer * kLayers + kFixedBytes;
}

extern "C" int32_t vmswarm_run_paging_diagnostic(int32_t n_agents, int32_t tokens, int32_t window, int32_t n_out,
                                                 int32_t cycles, VMSwarmStats* out) {
    try {
        return swarm::run_paging_diagnostic("/tmp", n_agents, tokens, window, n_out, cycles, out);
    } catch (...) {
        if (out) out->ok = 0;
        return 2;
    }
}
