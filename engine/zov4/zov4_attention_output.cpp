// The grouped low-rank output projection of the attention block: G group
// matrices (Ro × Eg each, one after another in "attn_output_a.weight") on
// their heads' outputs, then "attn_output_b.weight" on the stacked results.
#include <algorithm>
#include <climits>
#include <vector>

#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr int32_t kGemvChunk = 64;
constexpr int64_t kMaxGroups = 16; // groups whose slices share one pass

bool gpu_product_type(uint32_t type) { return type == kGgmlQ8_0 || type == kGgmlQ4_K || type == kGgmlQ6_K; }

struct GroupGeometry {
    int64_t groups, rank, width; // G, Ro, Eg
    uint64_t slice_bytes;        // one group's matrix in the tensor's encoding
};

GroupGeometry group_geometry(const ZOV4Forward& f, const GGUFTensor& wa) {
    const int64_t G = std::max<int64_t>(f.o_groups, 1);
    const int64_t Eg = int64_t(f.n_head) / G * f.v_dim;
    const GgmlBlock block = ggml_block(wa.type);
    const uint64_t slice = block.elements ? uint64_t(f.o_rank) * uint64_t(Eg) / block.elements * block.bytes : 0;
    return {G, f.o_rank, Eg, slice};
}

// rows × cols row-major into cols × rows.
void transpose(const float* src, float* dst, int64_t rows, int64_t cols) {
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < cols; ++c) dst[c * rows + r] = src[r * cols + c];
}

} // namespace

void ZOV4Forward::grouped_out_gpu(int layer, const float* in, float* out, int64_t n) {
    const GGUFTensor* wa = wl(layer, "attn_output_a.weight");
    const GGUFTensor* wb = wl(layer, "attn_output_b.weight");
    if (n < 1) return;
    const GroupGeometry g = group_geometry(*this, *wa);
    const int64_t E = n_embd, mid_width = g.groups * g.rank;

    // The two-batch route only when this call owns the batches: a product
    // encoded into someone else's open batch is read back only at their
    // commit, after this call has returned.
    if (n > 1 && use_gpu && gpu_product_type(wa->type) && gpu_product_type(wb->type) && gpu.command_buffer_handle &&
        gpu.command_buffer_handle() == nullptr) {
        std::vector<float> inputs(size_t(g.groups * g.width * n)), mid(size_t(mid_width * n)), result(size_t(E * n));
        for (int64_t k = 0; k < g.groups; ++k)
            for (int64_t t = 0; t < n; ++t)
                for (int64_t c = 0; c < g.width; ++c)
                    inputs[size_t((k * g.width + c) * n + t)] = in[t * n_head * v_dim + k * g.width + c];
        auto group = [&](int64_t k) {
            return gmm(wa->data + k * g.slice_bytes, wa->type, g.slice_bytes, inputs.data() + k * g.width * n,
                       mid.data() + k * g.rank * n, g.width, g.rank, n) != 0;
        };
        auto second = [&] { return gmm(wb->data, wb->type, wb->nbytes, mid.data(), result.data(), mid_width, E, n) != 0; };

        bool ok = true;
        gpu.arena_reset();
        gpu.command_buffer_begin();
        for (int64_t k = 0; k < g.groups && ok; ++k) ok = group(k);
        ok = gpu.command_buffer_commit_and_wait() && ok;
        if (ok) {
            gpu.arena_reset();
            gpu.command_buffer_begin();
            ok = second();
            ok = gpu.command_buffer_commit_and_wait() && ok;
        }
        if (!ok) {
            // Once more, each product on its own submission.
            ok = true;
            for (int64_t k = 0; k < g.groups && ok; ++k) ok = group(k);
            ok = ok && second();
        }
        if (ok) {
            transpose(result.data(), out, E, n);
            return;
        }
        // Neither GPU attempt gave every product: the CPU route below.
    }

    ensure_decode_arena_();
    float* row = arena.gout_row.data();
    for (int64_t t = 0; t < n; ++t) {
        const float* x = in + t * n_head * v_dim;
        std::fill(row, row + mid_width, 0.0f);
        // Every group's slice in one pass, then the second matrix.
        RowProduct slices[kMaxGroups];
        const bool together = g.groups <= kMaxGroups && g.rank <= INT32_MAX && g.width <= INT32_MAX;
        for (int64_t k = 0; together && k < g.groups; ++k)
            slices[k] = {wa->type, wa->data + k * g.slice_bytes, int32_t(g.rank), int32_t(g.width), x + k * g.width,
                         row + k * g.rank, 0};
        if (together && row_products(slices, int(g.groups), 1)) {
            mm_count += uint64_t(g.groups);
            mm(wb, row, out + t * E, mid_width, E);
            continue;
        }
        for (int64_t k = 0; k < g.groups; ++k) {
            const uint8_t* slice = wa->data + k * g.slice_bytes;
            if (vm::apex::fused_q_gemv_det(wa->type, slice, int32_t(g.rank), int32_t(g.width), x + k * g.width,
                                           row + k * g.rank, kGemvChunk)) {
                ++mm_count;
                continue;
            }
            GGUFTensor part = *wa;
            part.data = slice;
            part.nbytes = g.slice_bytes;
            mm(&part, x + k * g.width, row + k * g.rank, g.width, g.rank);
        }
        mm(wb, row, out + t * E, mid_width, E);
    }
}

} // namespace vm::zov4
