#pragma once
// One layer's state for one sequence: the normalised attention inputs, the
// query latents and the rotated, FP8-rounded key-value rows of every cached
// position, the compressed rows of the compressor and the indexer, and
// single-precision copies of small per-layer weights filled on first use.
#include <cstdint>
#include <vector>

namespace vm::zov4 {

struct LayerCache {
    std::vector<float> x_rows;  // embedding_length floats per cached position
    std::vector<float> qa_rows; // q_lora_rank floats per cached position
    std::vector<float> kv_rows; // key_length floats per cached position
    int64_t n_rows = 0;         // valid positions when the row vectors are fixed slabs
    int64_t row_offset = 0;     // rows in front of the history, left to be trimmed in bulk

    int64_t comp_tokens = 0; // positions covered by compressed rows (n_comp × ratio)
    std::vector<float> comp_kv;
    int64_t n_comp = 0;

    int64_t idx_tokens = 0; // positions covered by the indexer's compressed keys
    std::vector<float> idx_keys;
    int64_t n_idx = 0;

    std::vector<float> comp_ape, comp_norm, idx_ape, idx_norm;
    bool comp_meta_ready = false;
    bool idx_meta_ready = false;

    std::vector<float> router_w, router_b;
    bool router_ready = false;

    // Empties the sequence's rows and counts but keeps the memory of the
    // row vectors (and the weight copies): the next sequence appends into
    // pages already mapped, where fresh ones cost microseconds each.
    void clear_sequence();

    LayerCache() = default;
    LayerCache(const LayerCache&) = default;
    LayerCache& operator=(const LayerCache&) = default;
    // A move leaves the source as a fresh, empty cache.
    LayerCache(LayerCache&& other) noexcept;
    LayerCache& operator=(LayerCache&& other) noexcept;
    ~LayerCache() = default;
};

} // namespace vm::zov4
