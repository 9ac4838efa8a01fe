// Weight products and RMS norms of the DeepSeek-V4 pass. Each product picks,
// per call, a single-precision copy of the weight, the deterministic fused
// CPU kernels, a GPU product or a plain threaded CPU loop, so callers never
// care where a weight lives or how it is quantised.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "common/engine_env.h"
#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_tensor_util.h"
#include "zov4/zov4_row_kernels.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr int32_t kGemmTile = 32;
constexpr int64_t kGpuMinRows = 8;
// Up to this many activation rows a product is one pass over the weight rows
// (each row read once for all of them); more go to the tiled kernels.
constexpr int64_t kRowProductRows = 16;

bool fits_i32(int64_t v) { return v >= 1 && v <= INT32_MAX; }

uint64_t row_bytes(uint32_t type, int64_t K) {
    uint64_t per = 0, bytes = 0;
    if (!gguf::block_geometry(type, per, bytes)) return 0;
    return uint64_t(K) / per * bytes;
}

// The single-precision copy of W's bytes, or null.
const uint8_t* find_copy(const std::unordered_map<const void*, ZOV4Forward::F32DenseEntry>& map,
                         const GGUFTensor* W) {
    if (!W->data) return nullptr;
    auto it = map.find(W->data);
    return it == map.end() ? nullptr : reinterpret_cast<const uint8_t*>(it->second.f32);
}

// W's single-precision copy when it has one, else its own bytes, as a
// product of K-wide rows into N outputs.
RowProduct operand(const std::unordered_map<const void*, ZOV4Forward::F32DenseEntry>& map, const GGUFTensor* W,
                   const float* X, float* Y, int64_t K, int64_t N) {
    RowProduct p;
    if (const uint8_t* copy = find_copy(map, W)) {
        p.type = 0;
        p.W = copy;
    } else {
        p.type = W->type;
        p.W = W->data;
    }
    p.N = int32_t(N);
    p.K = int32_t(K);
    p.X = X;
    p.Y = Y;
    return p;
}

// The row products of `jobs`, appended to `out` at `n`; false when one does
// not fit the kernels' 32-bit sizes.
bool operands(const std::unordered_map<const void*, ZOV4Forward::F32DenseEntry>& map,
              std::initializer_list<ZOV4Forward::MatJob> jobs, RowProduct* out, int& n) {
    for (const auto& j : jobs) {
        if (!fits_i32(j.K) || !fits_i32(j.N)) return false;
        out[n++] = operand(map, j.W, j.X, j.Y, j.K, j.N);
    }
    return true;
}

} // namespace

int32_t ZOV4Forward::gmm(const void* data, uint32_t type, uint64_t nbytes, const float* B, float* C, int64_t K,
                         int64_t N, int64_t M) {
    if ((M <= 1 && n1_cpu_only) || !use_gpu) return 0;
    if (!fits_i32(K) || !fits_i32(N) || !fits_i32(M)) return 0;
    void* buffer = nullptr;
    if (data && nbytes > 0) {
        auto it = dense_buffers.find(data);
        if (it != dense_buffers.end()) {
            buffer = it->second;
        } else {
            char name[40];
            std::snprintf(name, sizeof name, "ptr_%p", data);
            // A refused registration is remembered too, so it is never retried.
            buffer = gpu.register_dense ? gpu.register_dense(name, data, nbytes, type) : nullptr;
            dense_buffers.emplace(data, buffer);
        }
    }
    GpuOps::QuantMatmul product = nullptr;
    switch (type) {
    case 8: product = gpu.matmul_q8_0; break;
    case 12: product = gpu.matmul_q4_k; break;
    case 14: product = gpu.matmul_q6_k; break;
    default: return 0;
    }
    if (!product) return 0;
    return product(buffer, 0, buffer ? nullptr : data, size_t(nbytes), nullptr, 0, B, C, uint32_t(N), uint32_t(K),
                   uint32_t(M))
               ? 1
               : 0;
}

void ZOV4Forward::mm(const GGUFTensor* W, const float* x, float* y, int64_t K, int64_t N) {
    if (vm::env_starts_with_1("VIVIROV_MATRIX_FORCE_N1") && gmm(W->data, W->type, W->nbytes, x, y, K, N, 1)) return;
    if (fits_i32(K) && fits_i32(N) && row_product(operand(f32_dense, W, x, y, K, N), 1)) {
        ++mm_count;
        return;
    }
    if (gmm(W->data, W->type, W->nbytes, x, y, K, N, 1)) return;

    const uint64_t rb = row_bytes(W->type, K);
    run_threads(N, [&](int64_t begin, int64_t end) {
        std::vector<float> w(size_t(K), 0.0f);
        for (int64_t r = begin; r < end; ++r) {
            if (!vm::dequant_tensor(W->type, W->data + uint64_t(r) * rb, w.data(), uint64_t(K)))
                std::fill(w.begin(), w.end(), 0.0f);
            double s = 0.0;
            for (int64_t k = 0; k < K; ++k) s += double(w[size_t(k)]) * double(x[k]);
            y[r] = float(s);
        }
    });
}

void ZOV4Forward::mm_multi(const GGUFTensor* W, const float* X, float* Y, int64_t K, int64_t N, int64_t M) {
    if (M <= 1) {
        if (M == 1) mm(W, X, Y, K, N);
        return;
    }
    // The GPU route only when this call owns the batch: a product encoded
    // into someone else's open batch is read back only at their commit,
    // after this call has already returned its rows.
    if (M >= kGpuMinRows && use_gpu && W->data && gpu.command_buffer_handle && !gpu.command_buffer_handle()) {
        thread_local std::vector<float> Bt, Ct;
        Bt.resize(size_t(K * M));
        Ct.resize(size_t(N * M));
        transpose(X, Bt.data(), M, K);
        gpu.arena_reset();
        gpu.command_buffer_begin();
        int32_t r = gmm(W->data, W->type, W->nbytes, Bt.data(), Ct.data(), K, N, M);
        // A failed commit copies nothing back: the CPU routes below redo it.
        if (!gpu.command_buffer_commit_and_wait()) r = 0;
        if (r) {
            transpose(Ct.data(), Y, N, M);
            return;
        }
    }
    if (fits_i32(K) && fits_i32(N) && M <= kRowProductRows && row_product(operand(f32_dense, W, X, Y, K, N), int32_t(M))) {
        mm_count += uint64_t(M);
        return;
    }
    if (fits_i32(K) && fits_i32(N) && fits_i32(M)) {
        if (const uint8_t* copy = find_copy(f32_dense, W)) {
            if (vm::apex::fused_q_gemm_det(0, copy, int32_t(N), int32_t(K), X,
                                           int32_t(M), Y, kGemmTile, -1, 0)) {
                mm_count += uint64_t(M);
                return;
            }
        }
        if (vm::apex::fused_q_gemm_det(W->type, W->data, int32_t(N), int32_t(K), X, int32_t(M), Y, kGemmTile, -1,
                                       0)) {
            mm_count += uint64_t(M);
            return;
        }
    }
    for (int64_t m = 0; m < M; ++m) mm(W, X + m * K, Y + m * N, K, N);
}

void ZOV4Forward::mm_together(std::initializer_list<MatJob> jobs, int64_t M) {
    constexpr size_t kMax = 8;
    // The GPU switches and oversized batches keep the one-product routes.
    const bool own_way = M < 1 || M > kRowProductRows || jobs.size() > kMax ||
                         (M == 1 && vm::env_starts_with_1("VIVIROV_MATRIX_FORCE_N1")) ||
                         (M >= kGpuMinRows && use_gpu && gpu.command_buffer_handle);
    RowProduct products[kMax];
    int n = 0;
    bool ok = !own_way && operands(f32_dense, jobs, products, n);
    if (ok && row_products(products, n, int32_t(M))) {
        mm_count += uint64_t(M) * jobs.size();
        return;
    }
    for (const MatJob& j : jobs) mm_multi(j.W, j.X, j.Y, j.K, j.N, M);
}

bool ZOV4Forward::mm_together_with(std::initializer_list<MatJob> jobs, const RowProduct* extra, int n_extra) {
    constexpr size_t kMax = 16;
    const bool own_way = jobs.size() + size_t(std::max(n_extra, 0)) > kMax || vm::env_starts_with_1("VIVIROV_MATRIX_FORCE_N1");
    RowProduct products[kMax];
    int n = 0;
    bool ok = !own_way && operands(f32_dense, jobs, products, n);
    for (int i = 0; ok && i < n_extra; ++i) products[n++] = extra[i];
    if (ok && row_products(products, n, 1)) {
        mm_count += jobs.size();
        return true;
    }
    mm_together(jobs, 1);
    return false;
}

void ZOV4Forward::run_threads(int64_t N, const std::function<void(int64_t, int64_t)>& fn) const {
    const int64_t T = std::min<int64_t>(n_threads, std::max<int64_t>(N, 1));
    if (T < 2) {
        fn(0, N);
        return;
    }
    const int64_t chunk = (N + T - 1) / T;
    std::vector<std::thread> threads;
    for (int64_t i = 0; i < T; ++i) {
        const int64_t begin = i * chunk, end = std::min(N, (i + 1) * chunk);
        if (begin >= end) continue;
        threads.emplace_back([&fn, begin, end] { fn(begin, end); });
    }
    for (auto& t : threads) t.join();
}

void ZOV4Forward::rmsnorm(const float* x, const GGUFTensor* W, float* y, int64_t n) {
    const float scale = 1.0f / sqrtf(rms_eps + mean_square_in_order(x, n));
    thread_local std::vector<float> w;
    w.resize(size_t(n));
    vm::dequant_tensor(W->type, W->data, w.data(), uint64_t(n));
    for (int64_t i = 0; i < n; ++i) y[i] = (x[i] * scale) * w[size_t(i)];
}

void ZOV4Forward::rmsnorm_rows(const float* X, const GGUFTensor* W, float* Y, int64_t n, int64_t rows) {
    thread_local std::vector<float> tl_wv;
    if (tl_wv.size() < size_t(n)) tl_wv.resize(size_t(n));
    vm::dequant_tensor(W->type, W->data, tl_wv.data(), uint64_t(n));
    const float* w = tl_wv.data();
    const float eps = rms_eps;
    const RowKernels& k = row_kernels();
    if (rows < 4 || n < 256) {
        for (int64_t r = 0; r < rows; ++r) k.rms_norm_row(X + r * n, w, Y + r * n, n, eps);
        return;
    }
    std::atomic<int64_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        for (int64_t r = next.fetch_add(1); r < rows; r = next.fetch_add(1)) k.rms_norm_row(X + r * n, w, Y + r * n, n, eps);
    });
}

} // namespace vm::zov4
