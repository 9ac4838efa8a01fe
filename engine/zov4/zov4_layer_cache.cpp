#include "zov4/zov4_layer_cache.h"

#include <utility>

namespace vm::zov4 {

void LayerCache::clear_sequence() {
    x_rows.clear();
    qa_rows.clear();
    kv_rows.clear();
    n_rows = 0;
    row_offset = 0;
    comp_tokens = 0;
    comp_kv.clear();
    n_comp = 0;
    idx_tokens = 0;
    idx_keys.clear();
    n_idx = 0;
}

LayerCache::LayerCache(LayerCache&& other) noexcept { *this = std::move(other); }

LayerCache& LayerCache::operator=(LayerCache&& other) noexcept {
    if (this == &other) return *this;
    x_rows = std::exchange(other.x_rows, {});
    qa_rows = std::exchange(other.qa_rows, {});
    kv_rows = std::exchange(other.kv_rows, {});
    n_rows = std::exchange(other.n_rows, 0);
    row_offset = std::exchange(other.row_offset, 0);
    comp_tokens = std::exchange(other.comp_tokens, 0);
    comp_kv = std::exchange(other.comp_kv, {});
    n_comp = std::exchange(other.n_comp, 0);
    idx_tokens = std::exchange(other.idx_tokens, 0);
    idx_keys = std::exchange(other.idx_keys, {});
    n_idx = std::exchange(other.n_idx, 0);
    comp_ape = std::exchange(other.comp_ape, {});
    comp_norm = std::exchange(other.comp_norm, {});
    idx_ape = std::exchange(other.idx_ape, {});
    idx_norm = std::exchange(other.idx_norm, {});
    comp_meta_ready = std::exchange(other.comp_meta_ready, false);
    idx_meta_ready = std::exchange(other.idx_meta_ready, false);
    router_w = std::exchange(other.router_w, {});
    router_b = std::exchange(other.router_b, {});
    router_ready = std::exchange(other.router_ready, false);
    return *this;
}

} // namespace vm::zov4
