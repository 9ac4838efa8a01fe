// The KV compressor's two routes: prefill compresses every complete block of
// a prompt at once; decode appends the blocks completed since the last call,
// from the layer's retained history, with scratch from the decode arena.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "zov4/zov4_attention.h"
#include "zov4/zov4_compressor_pool.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr int32_t kGemvChunk = 64;

// Rows × cols of W as floats; empty when the encoding is unknown.
std::vector<float> dequantised(const GGUFTensor& W, int64_t rows, int64_t cols) {
    std::vector<float> w(size_t(rows * cols));
    if (!vm::dequant_tensor(W.type, W.data, w.data(), uint64_t(rows * cols))) w.assign(w.size(), 0.0f);
    return w;
}

void dequantise_into(const GGUFTensor& W, std::vector<float>& dst, int64_t count) {
    dst.assign(size_t(count), 0.0f);
    if (count > 0 && !vm::dequant_tensor(W.type, W.data, dst.data(), uint64_t(count))) dst.assign(size_t(count), 0.0f);
}

RotaryArgs model_rotary(const ZOV4Forward& f) {
    return {f.n_rot, 2, f.n_ctx_orig, f.rope_base, f.freq_scale, 1.0f, 1.0f, f.yarn_beta_fast, f.yarn_beta_slow};
}

} // namespace

CompressorBlocks compressor_window_blocks(int64_t first_pos, int64_t n_hist, int r) {
    if (r < 1 || n_hist < 1) return {0, 0};
    const int64_t end = (first_pos + n_hist) / r;
    int64_t first = 0;
    if (first_pos > 0) {
        // The first block lying wholly in the history; with r = 4 its
        // predecessor, which the overlapping window reads, must be there too.
        first = (first_pos + r - 1) / r + (r == 4 ? 1 : 0);
    }
    return {std::min(first, end), end};
}


void ZOV4Forward::compressor(int layer, const std::string& prefix, const float* x, const int* block_pos, int64_t C,
                             int r, int64_t n, float* out) {
    if (r < 1 || n / r < 1) return;
    const int64_t nb = n / r, n_used = nb * r;
    const int64_t Cp = r == 4 ? 2 * C : C;
    const int64_t E = n_embd;
    const GGUFTensor* Wkv = wl(layer, prefix + "_kv.weight");
    const GGUFTensor* Wg = wl(layer, prefix + "_gate.weight");
    std::vector<float> ape, norm;
    dequantise_into(*wl(layer, prefix + "_ape.weight"), ape, r * Cp);
    dequantise_into(*wl(layer, prefix + "_norm.weight"), norm, C);

    std::vector<float> kv(size_t(n_used * Cp)), gate(kv.size());
    std::vector<float> dense_kv, dense_gate; // only when the kernel refuses a tensor
    auto project = [&](const GGUFTensor& W, std::vector<float>& dense, const float* xt, float* y) {
        if (vm::apex::fused_q_gemv_mt(W.type, W.data, int32_t(Cp), int32_t(E), xt, y, 0)) return;
        if (dense.empty()) dense = dequantised(W, Cp, E);
        for (int64_t o = 0; o < Cp; ++o) {
            double s = 0.0;
            for (int64_t k = 0; k < E; ++k) s += double(dense[size_t(o * E + k)]) * double(xt[k]);
            y[o] = float(s);
        }
    };
    for (int64_t t = 0; t < n_used; ++t) {
        project(*Wkv, dense_kv, x + t * E, kv.data() + t * Cp);
        project(*Wg, dense_gate, x + t * E, gate.data() + t * Cp);
    }
    mm_count += uint64_t(2 * n_used);

    compressor_prefill_proj(kv.data(), gate.data(), ape.data(), norm.data(), block_pos, out, C, n, r, n_rot, 2,
                            n_ctx_orig, rope_base, freq_scale, 1.0f, 1.0f, yarn_beta_fast, yarn_beta_slow, rms_eps,
                            nullptr, nullptr);
}

void ZOV4Forward::compressor_inc_(int layer, const std::string& prefix, const float* x_hist, int64_t C, int r,
                                  int64_t n_hist, int64_t& covered, std::vector<float>& rows, int64_t& n_done) {
    compressor_inc_from_(layer, prefix, x_hist, 0, C, r, n_hist, covered, rows, n_done);
}

void ZOV4Forward::compressor_inc_from_(int layer, const std::string& prefix, const float* x_hist,
                                       int64_t first_pos, int64_t C, int r, int64_t n_hist, int64_t& covered,
                                       std::vector<float>& rows, int64_t& n_done) {
    const CompressorBlocks blocks = compressor_window_blocks(first_pos, n_hist, r);
    const int64_t nbk = blocks.end - blocks.first;
    if (n_done >= nbk) return;
    const bool indexer_set = prefix.find("indexer") != std::string::npos;
    ensure_comp_meta_(layer, prefix, C, r, indexer_set);
    const LayerCache& meta = caches[size_t(layer)];
    const std::vector<float>& ape = indexer_set ? meta.idx_ape : meta.comp_ape;
    const std::vector<float>& norm = indexer_set ? meta.idx_norm : meta.comp_norm;
    const GGUFTensor* Wkv = wl(layer, prefix + "_kv.weight");
    const GGUFTensor* Wg = wl(layer, prefix + "_gate.weight");
    if (int64_t(rows.size()) < nbk * C) rows.resize(size_t(nbk * C), 0.0f);
    ensure_decode_arena_();

    const int64_t Cp = r == 4 ? 2 * C : C;
    for (int64_t i = std::max<int64_t>(n_done, 0); i < nbk; ++i) {
        const int64_t b = blocks.first + i; // block number counted from position 0
        const int64_t w = (r == 4 && b > 0) ? 1 : 0;
        const float* values = arena.cmp_values.data();
        const float* gates = arena.cmp_gates.data();
        const int set = indexer_set ? 1 : 0;
        if (comp_projected_layer[set] == layer && comp_projected_block[set] == b) {
            // Made by the decode step together with its first products.
            values = comp_projected[set][0].data();
            gates = comp_projected[set][1].data();
            comp_projected_layer[set] = -1;
            mm_count += uint64_t(2 * (w + 1) * r);
        } else if (w == 0 || !project_overlap_halves_(*Wkv, *Wg, x_hist, C, r * (b - 1) - first_pos,
                                                      arena.cmp_values.data(), arena.cmp_gates.data())) {
            project_range_gemv_(*Wkv, *Wg, x_hist, Cp, r * (b - w) - first_pos, r * (b + 1) - first_pos,
                                arena.cmp_values.data(), arena.cmp_gates.data());
        }
        for (int64_t e = 0; e <= w; ++e) arena.cmp_pos[size_t(e)] = int32_t(r * (b - w + e));
        // Only the new block is pooled: the window's first block, there for
        // the overlap, was pooled when it completed.
        compressor_pool_arena_(values, gates, ape.data(), norm.data(), arena.cmp_pos.data(), arena.cmp_out.data(), C,
                               (w + 1) * r, r, w);
        float* row = rows.data() + i * C;
        std::memcpy(row, arena.cmp_out.data() + w * C, sizeof(float) * size_t(C));
        fp8_kv_quantize(row, C, n_rot, 1);
    }
    n_done = nbk;
    covered = blocks.end * r;
}

void ZOV4Forward::slide_compressed_rows_(LayerCache& c, int r, int64_t first_old, int64_t n_old, int64_t first_new,
                                         int64_t n_new) {
    auto slide = [&](std::vector<float>& rows, int64_t& n_done, int64_t C, int ratio) {
        const CompressorBlocks before = compressor_window_blocks(first_old, n_old, ratio);
        const CompressorBlocks after = compressor_window_blocks(first_new, n_new, ratio);
        const int64_t gone = std::clamp<int64_t>(after.first - before.first, 0, std::max<int64_t>(n_done, 0));
        if (gone == 0) return;
        rows.erase(rows.begin(), rows.begin() + std::ptrdiff_t(std::min<size_t>(rows.size(), size_t(gone * C))));
        n_done -= gone;
    };
    if (r < 1) return;
    slide(c.comp_kv, c.n_comp, head_dim, r);
    if (r == 4) slide(c.idx_keys, c.n_idx, ix_dim, 4);
}

void ZOV4Forward::compressor_pool_arena_(const float* kv, const float* gate, const float* ape, const float* norm,
                                         const int* block_pos, float* out, int64_t C, int64_t n, int r,
                                         int64_t first_block) {
    if (r < 1 || n / r < 1) return;
    ensure_decode_arena_();
    const size_t need = size_t(n / r * C);
    std::vector<float>& pooled = arena.pool_scratch[1];
    std::vector<float>& finished = arena.pool_scratch[2];
    if (pooled.size() < need) pooled.resize(need);
    if (finished.size() < need) finished.resize(need);
    compressor_pool_from(kv, gate, ape, norm, block_pos, out, C, n, r, model_rotary(*this), rms_eps, pooled.data(),
                         finished.data(), nullptr, first_block);
}

void ZOV4Forward::ensure_comp_meta_(int layer, const std::string& prefix, int64_t C, int r, bool indexer_set) {
    if (caches.size() < size_t(n_layer)) caches.resize(size_t(n_layer));
    LayerCache& c = caches[size_t(layer)];
    bool& ready = indexer_set ? c.idx_meta_ready : c.comp_meta_ready;
    if (ready) return;
    const GGUFTensor* ape = wl(layer, prefix + "_ape.weight");
    const GGUFTensor* norm = wl(layer, prefix + "_norm.weight");
    const int64_t Cp = r == 4 ? 2 * C : C;
    dequantise_into(*ape, indexer_set ? c.idx_ape : c.comp_ape, r * Cp);
    dequantise_into(*norm, indexer_set ? c.idx_norm : c.comp_norm, C);
    ready = true;
}

int ZOV4Forward::block_projections_(int il, int r, const LayerCache& c, int64_t p, RowProduct* out) {
    comp_projected_layer[0] = comp_projected_layer[1] = -1;
    if (r < 1 || (p + 1) % r != 0) return 0;
    const int64_t E = n_embd, b = (p + 1) / r - 1, w = (r == 4 && b > 0) ? 1 : 0;
    const int64_t first = r * (b - w);                                      // first position read
    const int64_t at = int64_t(c.x_rows.size()) / E - 1 - (p - first);     // its row
    if (at < c.row_offset || E > INT32_MAX) return 0;
    const float* x = c.x_rows.data() + at * E;
    int n = 0;
    for (int set = 0; set < 2; ++set) {
        if (set == 1 && (r != 4 || !has(il, "indexer.proj.weight"))) break;
        const std::string prefix = set == 0 ? "attn_compressor" : "indexer_compressor";
        const GGUFTensor* wkv = wl_opt(il, prefix + "_kv.weight");
        const GGUFTensor* wg = wl_opt(il, prefix + "_gate.weight");
        const int64_t C = set == 0 ? head_dim : ix_dim, Cp = r == 4 ? 2 * C : C;
        if (wkv == nullptr || wg == nullptr || Cp > INT32_MAX) continue;
        std::vector<float>& values = comp_projected[set][0];
        std::vector<float>& gates = comp_projected[set][1];
        if (values.size() < size_t((w + 1) * r * Cp)) {
            values.resize(size_t((w + 1) * r * Cp));
            gates.resize(values.size());
        }
        RowProduct* q = out + n;
        const int32_t k = int32_t(E);
        if (w == 1) {
            // As project_overlap_halves_: each half for the rows that read it.
            const uint64_t ha = ggml_row_bytes(wkv->type, uint64_t(E)) * uint64_t(C);
            const uint64_t hg = ggml_row_bytes(wg->type, uint64_t(E)) * uint64_t(C);
            q[0] = {wkv->type, wkv->data, int32_t(C), k, x, values.data(), Cp, 4};
            q[1] = {wg->type, wg->data, int32_t(C), k, x, gates.data(), Cp, 4};
            q[2] = {wkv->type, wkv->data + ha, int32_t(C), k, x + 4 * E, values.data() + 4 * Cp + C, Cp, 4};
            q[3] = {wg->type, wg->data + hg, int32_t(C), k, x + 4 * E, gates.data() + 4 * Cp + C, Cp, 4};
        } else {
            q[0] = {wkv->type, wkv->data, int32_t(Cp), k, x, values.data(), 0, r};
            q[1] = {wg->type, wg->data, int32_t(Cp), k, x, gates.data(), 0, r};
        }
        const int count = w == 1 ? 4 : 2;
        bool valid = true;
        for (int i = 0; i < count; ++i) valid = valid && row_product_valid(q[i]);
        if (!valid) continue;
        n += count;
        comp_projected_layer[set] = il;
        comp_projected_block[set] = b;
    }
    return n;
}

bool ZOV4Forward::project_overlap_halves_(const GGUFTensor& wa, const GGUFTensor& wb, const float* x, int64_t C,
                                          int64_t first, float* ya, float* yb) {
    // The pooled row of an overlapping block reads the previous block's
    // four positions through the first C output columns only and its own
    // four through the last C: each half is projected for the rows that
    // read it, half the work of projecting all eight rows through both.
    // Each output is the same row kernel's, so the values are unchanged.
    const int64_t E = n_embd, Cp = 2 * C;
    if (C > INT32_MAX || E > INT32_MAX) return false;
    const uint64_t half_a = ggml_row_bytes(wa.type, uint64_t(E)) * uint64_t(C);
    const uint64_t half_b = ggml_row_bytes(wb.type, uint64_t(E)) * uint64_t(C);
    if (half_a == 0 || half_b == 0) return false;
    const float* prev = x + first * E;
    const float* own = x + (first + 4) * E;
    const int32_t n = int32_t(C), k = int32_t(E);
    const RowProduct halves[4] = {{wa.type, wa.data, n, k, prev, ya, Cp},
                                  {wb.type, wb.data, n, k, prev, yb, Cp},
                                  {wa.type, wa.data + half_a, n, k, own, ya + 4 * Cp + C, Cp},
                                  {wb.type, wb.data + half_b, n, k, own, yb + 4 * Cp + C, Cp}};
    if (!row_products(halves, 4, 4)) return false;
    mm_count += 16; // two products for each of the eight positions
    return true;
}

void ZOV4Forward::project_range_gemv_(const GGUFTensor& wa, const GGUFTensor& wb, const float* x, int64_t rows,
                                      int64_t first, int64_t end, float* ya, float* yb) {
    const int64_t E = n_embd;
    std::vector<float> dense_a, dense_b; // only when the kernel refuses a tensor
    auto single = [&](const GGUFTensor& W, std::vector<float>& dense, const float* xk, float* y) {
        if (vm::apex::fused_q_gemv(W.type, W.data, int32_t(rows), int32_t(E), xk, y)) return;
        if (E < 1) {
            std::fill(y, y + rows, 0.0f);
            return;
        }
        if (dense.empty()) dense = dequantised(W, rows, E);
        for (int64_t o = 0; o < rows; ++o) {
            float s = 0.0f;
            for (int64_t k = 0; k < E; ++k) s += dense[size_t(o * E + k)] * xk[k];
            y[o] = s;
        }
    };
    // One pass over both weights for all the rows.
    if (end > first && rows <= INT32_MAX && E <= INT32_MAX && end - first <= INT32_MAX) {
        const RowProduct both[2] = {{wa.type, wa.data, int32_t(rows), int32_t(E), x + first * E, ya, 0},
                                    {wb.type, wb.data, int32_t(rows), int32_t(E), x + first * E, yb, 0}};
        if (row_products(both, 2, int32_t(end - first))) {
            mm_count += uint64_t(2 * (end - first));
            return;
        }
    }
    for (int64_t k = first; k < end; ++k) {
        const float* xk = x + k * E;
        float* a = ya + (k - first) * rows;
        float* b = yb + (k - first) * rows;
        if (rows >= 256 && vm::apex::fused_q_gemv_det(wa.type, wa.data, int32_t(rows), int32_t(E), xk, a, kGemvChunk) &&
            vm::apex::fused_q_gemv_det(wb.type, wb.data, int32_t(rows), int32_t(E), xk, b, kGemvChunk))
            continue;
        single(wa, dense_a, xk, a);
        single(wb, dense_b, xk, b);
    }
    mm_count += uint64_t(2 * std::max<int64_t>(end - first, 0));
}

} // namespace vm::zov4
