#include "vm_cabi_v2/low_rank_gemv.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/evs_settings.h"

namespace vm::apex {

namespace {

constexpr int kPoolRows = 256;
constexpr int kRowChunk = 64;
constexpr int kStackRank = 512;

// Σ a[i]·b[i]·(s ? s[i] : 1) with four lanes, reduced (l0 + l1) + (l2 + l3).
float dot4(const float* a, const float* b, int n) {
    float l[4] = {0, 0, 0, 0};
    int i = 0;
    for (; i + 4 <= n; i += 4)
        for (int k = 0; k < 4; ++k) l[k] = std::fma(a[i + k], b[i + k], l[k]);
    float s = (l[0] + l[1]) + (l[2] + l[3]);
    for (; i < n; ++i) s = std::fma(a[i], b[i], s);
    return s;
}

// t[k] = S[k] · Σ_j V[j·rank + k] · x[j], in increasing j.
void project_v(const float* V, const float* S, int cols, int rank, const float* x, float* t) {
    for (int k = 0; k < rank; ++k) t[k] = 0.0f;
    for (int j = 0; j < cols; ++j) {
        const float xj = x[j];
        const float* row = V + size_t(j) * size_t(rank);
        for (int k = 0; k < rank; ++k) t[k] = std::fma(row[k], xj, t[k]);
    }
    for (int k = 0; k < rank; ++k) t[k] *= S[k];
}

// y[i] = U[i, :] · t for every row, on the pool for large outputs.
void rows_u(const float* U, int rows, int rank, const float* t, float* y) {
    auto run = [&](int begin, int end) {
        for (int i = begin; i < end; ++i) y[i] = dot4(U + size_t(i) * size_t(rank), t, rank);
    };
    if (rows < kPoolRows) {
        run(0, rows);
        return;
    }
    std::atomic<int> next{0};
    det_pool_global()->parallel([&](int, int) {
        for (int s; (s = next.fetch_add(kRowChunk, std::memory_order_relaxed)) < rows;)
            run(s, std::min(s + kRowChunk, rows));
    });
}

void product(const float* U, const float* V, const float* S, int rows, int cols, int rank, const float* x,
             float* y, float* scratch) {
    if (rows < 1) return;
    if (rank < 1 || cols < 1) {
        for (int i = 0; i < rows; ++i) y[i] = 0.0f;
        return;
    }
    float stack[kStackRank];
    std::vector<float> heap;
    float* t = scratch;
    if (!t) {
        if (rank <= kStackRank) {
            t = stack;
        } else {
            heap.resize(size_t(rank));
            t = heap.data();
        }
    }
    project_v(V, S, cols, rank, x, t);
    rows_u(U, rows, rank, t, y);
}

void scale(float* y, int n, float f) {
    for (int i = 0; i < n; ++i) y[i] *= f;
}

} // namespace

double rms_f32(const float* v, int n) {
    if (n < 1) return 0.0;
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += double(v[i]) * double(v[i]);
    return std::sqrt(s / double(n));
}

void dual_gemv_f32_det(const float* U, const float* V, const float* S, int rows, int cols, int rank,
                       const float* x, float* y, float* extra) {
    product(U, V, S, rows, cols, rank, x, y, extra);
}

void dual_gemv_f32_pair_det(const float* U_a, const float* V_a, const float* S_a, const float* U_b,
                            const float* V_b, const float* S_b, int rows, int cols, uint64_t ranks,
                            const float* x, float* y_a, float* y_b, float* scratch) {
    const int ra = int(uint32_t(ranks)), rb = int(uint32_t(ranks >> 32));
    product(U_a, V_a, S_a, rows, cols, ra, x, y_a, scratch);
    product(U_b, V_b, S_b, rows, cols, rb, x, y_b, scratch ? scratch + ra : nullptr);
}

void dual_gemv_plus(const float* U, const float* V, const float* S, int rows, int cols, int rank,
                    const float* x, const float* r, float alpha, float* y, float* extra) {
    product(U, V, S, rows, cols, rank, x, y, extra);
    const float rho = g_evs_rho();
    if (!r) {
        if (!x || rho <= 0.0f) return;
        const double ry = rms_f32(y, rows);
        double rx = rms_f32(x, cols);
        if (rx <= 1e-12) rx = 1.0;
        if (ry <= 1e-12) return;
        const double cap = rx * double(rho);
        if (ry > cap) scale(y, rows, float(cap / ry));
        return;
    }
    const double a = rms_f32(y, rows);
    float factor = alpha;
    if (alpha < 0.0f) {
        if (g_evs_mode() == 1) {
            const double rp = rms_f32(r, rows) + 1e-12;
            factor = std::fmin(std::fmax(float(a * double(g_evs_lambda()) / rp), 0.05f), 8.0f);
        } else {
            factor = g_evs_alpha_fixed();
        }
    }
    for (int i = 0; i < rows; ++i) y[i] = std::fma(factor, r[i], y[i]);
    if (rho > 0.0f && a > 1e-12) {
        const double rn = rms_f32(y, rows);
        const double cap = a * double(rho);
        if (rn > cap) scale(y, rows, float(cap / rn));
    }
}

void om2_hybrid_gemv(const Om2Pack& pack, const float* x, float* y) {
    thread_local std::vector<float> residual;
    const int rows = pack.rows, cols = pack.cols;
    if (residual.size() < size_t(rows)) residual.resize(size_t(rows));
    const uint64_t g = uint64_t(pack.group < 1 ? 32 : pack.group);
    for (int i = 0; i < rows; ++i) {
        double acc = 0.0;
        for (int j = 0; j < cols; ++j) {
            const uint64_t n = uint64_t(i) * uint64_t(cols) + uint64_t(j);
            const float s = n / g < pack.scales.size() ? pack.scales[n / g] : 1.0f;
            acc += double(pack.R[n]) * double(s / 7.0f) * double(x[j]);
        }
        residual[size_t(i)] = float(acc);
    }
    dual_gemv_plus(pack.U.data(), pack.V.data(), pack.S.data(), rows, cols, pack.rank, x, residual.data(), -1.0f,
                   y, nullptr);
}

} // namespace vm::apex
