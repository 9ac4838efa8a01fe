// Multi-sequence slots: setting them up, prefilling one through the
// single-sequence pass, and trimming its per-layer history to a slab of 128
// positions that the batched step appends to in place.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/om2_binding.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

namespace {

constexpr int kMaxSlots = 16;
constexpr int64_t kSlabRows = 128;
constexpr int64_t kSlabBlocks = 34; // compressed rows a slab's history can need, with room

template <class T>
void grow_to(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n, T{});
}

// Rows and counters cleared; the per-layer weight copies stay.
void empty_history(std::vector<LayerCache>& caches) {
    for (LayerCache& c : caches) {
        c.x_rows.clear();
        c.qa_rows.clear();
        c.kv_rows.clear();
        c.comp_kv.clear();
        c.idx_keys.clear();
        c.n_rows = c.comp_tokens = c.n_comp = c.idx_tokens = c.n_idx = 0;
    }
}

// Moves rows [from, from + count) of a row-major vector to the front.
void move_rows_to_front(std::vector<float>& v, int64_t width, int64_t from, int64_t count) {
    if (from <= 0 || count <= 0 || width <= 0) return;
    std::memmove(v.data(), v.data() + from * width, sizeof(float) * size_t(count * width));
}

} // namespace

void ZOV4Forward::multi_seq_init(int n) {
    ensure_decode_arena_();
    n_slots = std::clamp(n, 1, kMaxSlots);
    const size_t E = size_t(n_embd), S = size_t(n_hc), Q = size_t(q_rank), D = size_t(head_dim);
    const size_t Di = size_t(ix_dim);
    slots.assign(size_t(n_slots), MultiSlot{});
    for (MultiSlot& s : slots) {
        s.layers.assign(size_t(n_layer), LayerCache{});
        s.streams.assign(E * S, 0.0f);
        for (LayerCache& c : s.layers) {
            c.x_rows.assign(kSlabRows * E, 0.0f);
            c.qa_rows.assign(kSlabRows * Q, 0.0f);
            c.kv_rows.assign(kSlabRows * D, 0.0f);
            c.comp_kv.assign(kSlabBlocks * D, 0.0f);
            c.idx_keys.assign(kSlabBlocks * Di, 0.0f);
        }
    }
    slots_ready = true;

    if (om2_bound) {
        const uint64_t budget = om2.budget(), resident = om2.resident_bytes();
        const bool pin_pressure = budget > 0 && double(resident) >= 0.75 * double(budget);
        const bool fast_bench = vm::env_switch_on("VIVIROV_FAST_BENCH");
        if (!fast_bench && n_slots < kMaxSlots && !pin_pressure) {
            vm::apex::prewarm_om2_expert(om2, active_set, {om2_bound, om2_prefer_only, om2_residual}, n_layer, 0);
        } else {
            const int layers = std::min(n_layer, 4);
            for (int il = 0; il < layers; ++il) om2.prefetch_async(il, 0, 0);
            vm::log_line("[PHASE4] multi_seq_init prewarm THROTTLED slots=%d pin_pressure=%d async E0 L0..L%d "
                         "(skip full prewarm_om2_expert)",
                         n_slots, pin_pressure ? 1 : 0, layers - 1);
        }
    }
    vm::log_line("[PHASE-C-STEP9] multi-seq slots=%d ctx=%d zero-copy KV slabs", n_slots, int(kSlabRows));
}

int64_t ZOV4Forward::multi_seq_prefill(int slot, const std::vector<int32_t>& tokens) {
    std::lock_guard lock(mu);
    if (!slots_ready || slot < 0 || slot >= n_slots) return -1;
    vm::apex::DetPool::Hold hot(vm::apex::det_pool_global());
    MultiSlot& s = slots[size_t(slot)];
    const size_t E = size_t(n_embd), Q = size_t(q_rank), D = size_t(head_dim), Di = size_t(ix_dim);
    if (s.layers.size() != size_t(n_layer)) s.layers.assign(size_t(n_layer), LayerCache{});
    for (LayerCache& c : s.layers) {
        grow_to(c.x_rows, kSlabRows * E);
        grow_to(c.qa_rows, kSlabRows * Q);
        grow_to(c.kv_rows, kSlabRows * D);
        grow_to(c.comp_kv, kSlabBlocks * D);
        grow_to(c.idx_keys, kSlabBlocks * Di);
        c.n_rows = 0;
    }

    // The prefill runs into the slot's records in place of the single
    // sequence's, which is left empty afterwards whatever happens.
    empty_history(caches);
    caches.resize(size_t(n_layer));
    std::swap(caches, s.layers);
    n_past = 0;
    int64_t result = -1;
    try {
        result = forward(tokens, nullptr, false);
    } catch (...) {
        // The slot keeps no half-filled history: the step skips it until it
        // is prefilled again.
        std::swap(caches, s.layers);
        s.layers.clear();
        s.pos = 0;
        s.active = false;
        empty_history(caches);
        n_past = 0;
        throw;
    }
    s.pos = n_past;
    for (LayerCache& c : caches) trim_layer_cache_(c, int(kSlabRows));
    std::swap(caches, s.layers);
    empty_history(caches);
    n_past = 0;
    s.active = true;
    return result;
}

void ZOV4Forward::trim_layer_cache_(LayerCache& c, int keep) {
    const int64_t D = std::max(head_dim, 1), E = n_embd, Q = q_rank;
    // Valid rows: the slab's count when the rows sit in a slab, else every
    // row held (a prefill longer than the slab stores all of its rows).
    const int64_t held = int64_t(c.kv_rows.size()) / D;
    const int64_t P = (c.n_rows >= 1 && c.n_rows <= held) ? c.n_rows : held;
    if (P < 1) {
        c.n_rows = 0;
        return;
    }
    const int64_t k = std::min<int64_t>(P, std::max(keep, 0));
    if (P > k) {
        move_rows_to_front(c.x_rows, E, P - k, k);
        move_rows_to_front(c.qa_rows, Q, P - k, k);
        move_rows_to_front(c.kv_rows, D, P - k, k);
        // The compressed rows were made for a history that started at
        // position 0; the next step rebuilds them for the retained rows.
        c.comp_tokens = c.n_comp = c.idx_tokens = c.n_idx = 0;
    }
    c.x_rows.resize(size_t(kSlabRows * E));
    c.qa_rows.resize(size_t(kSlabRows * Q));
    c.kv_rows.resize(size_t(kSlabRows * D));
    // Rows past the valid ones read as zeros, as in a fresh slab.
    const int64_t valid = std::min(k, kSlabRows);
    std::fill(c.x_rows.begin() + valid * E, c.x_rows.end(), 0.0f);
    std::fill(c.qa_rows.begin() + valid * Q, c.qa_rows.end(), 0.0f);
    std::fill(c.kv_rows.begin() + valid * D, c.kv_rows.end(), 0.0f);
    c.n_rows = valid;
    c.n_comp = std::min(c.n_comp, k / 4);
    c.n_idx = std::min(c.n_idx, k / 4);
    grow_to(c.comp_kv, size_t(kSlabBlocks * D));
    grow_to(c.idx_keys, size_t(kSlabBlocks * ix_dim));
}

} // namespace vm::zov4
