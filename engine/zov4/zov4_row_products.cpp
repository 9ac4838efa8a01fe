#include "zov4/zov4_row_products.h"

#include <algorithm>
#include <atomic>

#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "zov4/zov4_tiled_rows.h"
#include "zov4/zov4_wide_rows.h"

namespace vm::zov4 {

namespace {

// Weight bytes one claim covers: at least kRunBytes, so that the claim
// counter is cold, and up to a share of the job that still leaves each
// participant kClaimsEach claims to even out the last ones; longer runs
// let each core's prefetch stream further.
constexpr uint64_t kRunBytes = 16 * 1024;
constexpr uint64_t kMaxRunBytes = 256 * 1024;
constexpr uint64_t kClaimsEach = 4;
// Below this many weight bytes in all the products the caller computes them.
constexpr uint64_t kInlineBytes = 48 * 1024;
// Products handled per pool job; more are taken in further jobs.
constexpr int kMaxPerJob = 16;
// Activation rows one pass of the batch kernel takes.
constexpr int32_t kBatch = 16;

bool valid(const RowProduct& p) {
    if (p.rows < 0 || p.N < 1 || p.K < 1 || !p.W || !p.X || !p.Y || !ggml_supported(p.type)) return false;
    if (p.K % int32_t(ggml_block(p.type).elements) != 0) return false;
    return p.ldy == 0 || p.ldy >= p.N;
}

int32_t rows_of_product(const RowProduct& p, int32_t M) { return p.rows > 0 ? p.rows : M; }

// Rows [a, b) of p for M activation rows.
void rows_of(const RowProduct& p, int32_t a, int32_t b, int32_t M) {
    const uint64_t rb = ggml_row_bytes(p.type, uint64_t(p.K));
    const int64_t ldy = p.ldy ? p.ldy : p.N;
    // Several activation rows are bound by arithmetic: the tiled kernel
    // shares each activation load among weight rows, with the same bits.
    if (const WideRowsKernel tiled = M > 1 ? tiled_rows_kernel(p.type) : nullptr) {
        tiled(p.W, a, b, p.K, p.X, M, p.Y, ldy);
        return;
    }
    if (const WideRowsKernel wide = wide_rows_kernel(p.type)) {
        wide(p.W, a, b, p.K, p.X, M, p.Y, ldy);
        return;
    }
    if (M == 1) {
        vm::apex::fused_q_gemv(p.type, p.W + uint64_t(a) * rb, b - a, p.K, p.X, p.Y + a);
        return;
    }
    float out[kBatch];
    for (int32_t m0 = 0; m0 < M; m0 += kBatch) {
        const int32_t m = std::min(kBatch, M - m0);
        const float* X = p.X + int64_t(m0) * p.K;
        for (int32_t r = a; r < b; ++r) {
            vm::apex::row_block_x_batch(p.type, p.W + uint64_t(r) * rb, p.K, X, m, out);
            for (int32_t i = 0; i < m; ++i) p.Y[(m0 + i) * ldy + r] = out[i];
        }
    }
}

void run_group(const RowProduct* products, int count, int32_t M) {
    int32_t rows_per_run[kMaxPerJob];
    int64_t first_run[kMaxPerJob + 1];
    uint64_t bytes = 0, weight_bytes = 0;
    first_run[0] = 0;
    for (int i = 0; i < count; ++i) {
        const RowProduct& p = products[i];
        const uint64_t rb = ggml_row_bytes(p.type, uint64_t(p.K));
        bytes += rb * uint64_t(p.N) * uint64_t(rows_of_product(p, M) > 1 ? 2 : 1);
        weight_bytes += rb * uint64_t(p.N);
    }
    const uint64_t share = weight_bytes / (uint64_t(vm::apex::det_pool_global()->participants()) * kClaimsEach);
    const uint64_t run_bytes = std::clamp(share, kRunBytes, kMaxRunBytes);
    for (int i = 0; i < count; ++i) {
        const RowProduct& p = products[i];
        const uint64_t rb = ggml_row_bytes(p.type, uint64_t(p.K));
        rows_per_run[i] = int32_t(std::clamp<uint64_t>(run_bytes / std::max<uint64_t>(rb, 1), 1, uint64_t(p.N)));
        first_run[i + 1] = first_run[i] + (p.N + rows_per_run[i] - 1) / rows_per_run[i];
    }
    if (bytes < kInlineBytes) {
        for (int i = 0; i < count; ++i) rows_of(products[i], 0, products[i].N, rows_of_product(products[i], M));
        return;
    }
    const int64_t runs = first_run[count];
    std::atomic<int64_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        int i = 0;
        for (int64_t u; (u = next.fetch_add(1, std::memory_order_relaxed)) < runs;) {
            while (u >= first_run[i + 1]) ++i;
            const RowProduct& p = products[i];
            const int32_t a = int32_t(u - first_run[i]) * rows_per_run[i];
            rows_of(p, a, std::min(p.N, a + rows_per_run[i]), rows_of_product(p, M));
        }
    });
}

} // namespace

bool row_product_valid(const RowProduct& p) { return valid(p); }

void row_product_range(const RowProduct& p, int32_t a, int32_t b, int32_t M) { rows_of(p, a, b, rows_of_product(p, M)); }

bool row_products(const RowProduct* products, int count, int32_t M) {
    if (M < 1 || count < 0 || (count > 0 && !products)) return false;
    for (int i = 0; i < count; ++i)
        if (!valid(products[i])) return false;
    for (int at = 0; at < count; at += kMaxPerJob) run_group(products + at, std::min(kMaxPerJob, count - at), M);
    return true;
}

} // namespace vm::zov4
