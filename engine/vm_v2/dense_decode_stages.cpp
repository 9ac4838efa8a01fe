#include "vm_v2/dense_decode_stages.h"

#include <algorithm>
#include <atomic>
#include <climits>

#include "vm_cabi/gguf_file.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_v2/dense_math.h"
#include "vm_v2/dense_q8_0.h"

namespace vivirov::dense {

namespace {

// Rows per claim: a few kilobytes of weights for the narrowest matrices, and
// enough claims on an 896-row product to keep eight workers balanced.
constexpr int32_t kRowsPerClaim = 16;
constexpr size_t kMaxProducts = 4;

int32_t rows_of(const GGUFTensor* w) { return w->dims.size() > 1 ? int32_t(w->dims[1]) : 1; }
int32_t cols_of(const GGUFTensor* w) { return int32_t(w->dims[0]); }

uint64_t row_bytes(const GGUFTensor* w) {
    uint64_t per_block = 0, block_bytes = 0;
    gguf::block_geometry(w->type, per_block, block_bytes);
    return uint64_t(cols_of(w)) / per_block * block_bytes;
}

// Rows [a, b) of one product: Q8_0 by the 512-bit rows where the CPU has
// them, everything else by the single-thread gemv kernel (the same bits).
void rows(const GGUFTensor* w, uint64_t rb, const float* x, float* y, int32_t a, int32_t b) {
    static const bool wide = q8_0_wide_available();
    if (wide && w->type == gguf::kGgmlQ8_0) return q8_0_rows_wide(w->data + uint64_t(a) * rb, rb, b - a, x, cols_of(w), y + a);
    vm::apex::fused_q_gemv(w->type, w->data + uint64_t(a) * rb, b - a, cols_of(w), x, y + a);
}

int32_t claims_of(int32_t n_rows) { return (n_rows + kRowsPerClaim - 1) / kRowsPerClaim; }

} // namespace

bool cpu_multiplies(const GGUFTensor* w) {
    if (!w || w->dims.empty() || w->dims[0] == 0 || w->dims[0] > uint64_t(INT32_MAX)) return false;
    if (w->dims.size() > 1 && (w->dims[1] == 0 || w->dims[1] > uint64_t(INT32_MAX))) return false;
    const uint32_t t = w->type;
    const bool served = t == gguf::kGgmlF32 || t == gguf::kGgmlQ5_0 || t == gguf::kGgmlQ8_0 ||
                        t == gguf::kGgmlQ4_K || t == gguf::kGgmlQ6_K;
    uint64_t per_block = 0, block_bytes = 0;
    return served && gguf::block_geometry(t, per_block, block_bytes) && w->dims[0] % per_block == 0;
}

namespace {

void one_job(const Product* p, size_t n, Pieces beside) {
    uint64_t rb[kMaxProducts];
    // Claims 0 … beside.count − 1 are the pieces, then each product's rows.
    int32_t first_claim[kMaxProducts + 1] = {beside.count};
    for (size_t i = 0; i < n; ++i) {
        rb[i] = p[i].w ? row_bytes(p[i].w) : 0;
        first_claim[i + 1] = first_claim[i] + (p[i].w ? claims_of(rows_of(p[i].w)) : 0);
    }
    const int32_t total = first_claim[n];
    std::atomic<int32_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        size_t i = 0;
        for (int32_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < total;) {
            if (c < beside.count) {
                beside.run(beside.ctx, c);
                continue;
            }
            while (c >= first_claim[i + 1]) ++i; // claims come in increasing order
            const int32_t a = (c - first_claim[i]) * kRowsPerClaim;
            rows(p[i].w, rb[i], p[i].x, p[i].y, a, std::min(rows_of(p[i].w), a + kRowsPerClaim));
        }
    });
}

} // namespace

void cpu_products(std::initializer_list<Product> products, Pieces beside) {
    if (products.size() == 0) return cpu_pieces(beside);
    for (size_t i = 0; i < products.size(); i += kMaxProducts, beside = {})
        one_job(products.begin() + i, std::min(kMaxProducts, products.size() - i), beside);
}

void cpu_pieces(Pieces pieces) {
    if (pieces.count < 1) return;
    if (pieces.count == 1) return pieces.run(pieces.ctx, 0);
    one_job(nullptr, 0, pieces);
}

void cpu_gated_ffn(const GGUFTensor* gate_w, const GGUFTensor* up_w, const float* x, float* gate, float* up,
                   float* act, int32_t n_ff) {
    const uint64_t rb_gate = row_bytes(gate_w), rb_up = row_bytes(up_w);
    std::atomic<int32_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        for (int32_t a; (a = next.fetch_add(kRowsPerClaim, std::memory_order_relaxed)) < n_ff;) {
            const int32_t b = std::min(n_ff, a + kRowsPerClaim);
            rows(gate_w, rb_gate, x, gate, a, b);
            rows(up_w, rb_up, x, up, a, b);
            swiglu(gate + a, up + a, b - a, act + a);
        }
    });
}

} // namespace vivirov::dense
