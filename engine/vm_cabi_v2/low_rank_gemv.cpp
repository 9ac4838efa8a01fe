#include "vm_cabi_v2/low_rank_gemv.h"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/evs_settings.h"
#include "vm_cabi_v2/kernel_ops.h"

namespace vm::apex {

namespace {

constexpr int kPoolRows = 256;
constexpr int kRowChunk = 64;
constexpr int kStackRank = 512;

float row_dot(const float* u, const float* t, int rank) {
    float s = 0.0f;
    const int body = rank / 4 * 4;
    int k = 0;
    for (; k < body; ++k) {
        const float p = u[k] * t[k];
        s = s + p;
    }
    for (; k < rank; ++k) s = std::fma(u[k], t[k], s);
    return s;
}

// A fixed loop rather than BLAS, whose threaded split would change the bits.
void project_v(const float* V, const float* S, int cols, int rank, const float* x, float* t) {
    kernel_ops().project_v(V, S, cols, rank, x, t);
}

// The rank temporary: the caller's scratch, a stack array, or the heap.
template <class Fn>
void with_temp(float* scratch, int rank, Fn&& fn) {
    if (scratch) return fn(scratch);
    if (rank <= kStackRank) {
        float stack[kStackRank];
        return fn(stack);
    }
    std::vector<float> heap(size_t(rank), 0.0f);
    fn(heap.data());
}

void zero(float* y, int rows) {
    if (rows > 0) std::fill(y, y + rows, 0.0f);
}

void scale(float* y, int n, float f) {
    for (int i = 0; i < n; ++i) y[i] *= f;
}

} // namespace

double rms_f32(const float* v, int n) {
    if (n < 1) return 0.0;
    float l0 = 0, l1 = 0, l2 = 0, l3 = 0;
    const int body = n / 4 * 4;
    for (int i = 0; i < body; i += 4) {
        l0 = std::fma(v[i], v[i], l0);
        l1 = std::fma(v[i + 1], v[i + 1], l1);
        l2 = std::fma(v[i + 2], v[i + 2], l2);
        l3 = std::fma(v[i + 3], v[i + 3], l3);
    }
    double s = double((l0 + l1) + (l2 + l3));
    for (int i = body; i < n; ++i) s = std::fma(double(v[i]), double(v[i]), s);
    return std::sqrt(s / double(n));
}

void dual_gemv_U_rows_det(const float* U, const float* t, int rows, int rank, float* y) {
    if (rows < 1) return;
    if (rank < 1) return zero(y, rows);
    const KernelOps& ops = kernel_ops();
    auto run = [&](int begin, int end) {
        if (rank == 64) return ops.u_rows64(U + size_t(begin) * 64, t, end - begin, y + begin);
        for (int r = begin; r < end; ++r) y[r] = row_dot(U + size_t(r) * size_t(rank), t, rank);
    };
    if (rows < kPoolRows) return run(0, rows);
    std::atomic<int> next{0};
    det_pool_global()->parallel([&](int, int) {
        for (int s; (s = next.fetch_add(kRowChunk, std::memory_order_relaxed)) < rows;)
            run(s, std::min(s + kRowChunk, rows));
    });
}

void dual_gemv_f32_det(const float* U, const float* V, const float* S, int rows, int cols, int rank,
                       const float* x, float* y, float* scratch) {
    if (rows < 1) return;
    if (rank < 1) return zero(y, rows);
    with_temp(scratch, rank, [&](float* t) {
        project_v(V, S, cols, rank, x, t);
        dual_gemv_U_rows_det(U, t, rows, rank, y);
    });
}

void dual_gemv_f32_pair_det(const float* U1, const float* V1, const float* S1, const float* U2, const float* V2,
                            const float* S2, int rows, int cols, int rank1, int rank2, const float* x, float* y1,
                            float* y2, float* scratch) {
    dual_gemv_f32_det(U1, V1, S1, rows, cols, rank1, x, y1, scratch);
    dual_gemv_f32_det(U2, V2, S2, rows, cols, rank2, x, y2, scratch ? scratch + std::max(rank1, 0) : nullptr);
}

void dual_gemv_f32(const float* U, const float* V, const float* S, int rows, int cols, int rank, const float* x,
                   float* y, float* scratch) {
    if (rows < 1) return;
    if (rank < 1) return zero(y, rows);
    with_temp(scratch, rank, [&](float* t) {
        project_v(V, S, cols, rank, x, t);
        cblas_sgemv(CblasRowMajor, CblasNoTrans, rows, rank, 1.0f, U, rank, t, 1, 0.0f, y, 1);
    });
}

void dual_gemv_plus(const float* U, const float* V, const float* S, int rows, int cols, int rank, const float* x,
                    const float* plus, float* y, float* scratch, float alpha) {
    dual_gemv_f32(U, V, S, rows, cols, rank, x, y, scratch);
    const float rho = g_evs_rho();
    if (!plus) {
        if (!x || rho <= 0.0f) return;
        const double ry = rms_f32(y, rows);
        double rx = rms_f32(x, cols);
        if (rx <= 1e-12) rx = 1.0;
        if (ry <= 1e-12) return;
        const double cap = rx * double(rho);
        if (ry > cap) scale(y, rows, float(cap / ry));
        return;
    }
    const double ry = rms_f32(y, rows);
    float weight = alpha;
    if (alpha < 0.0f) {
        if (g_evs_mode() != 1) {
            weight = g_evs_alpha_fixed();
        } else {
            const double rp = rms_f32(plus, rows) + 1e-12;
            weight = std::clamp(float(ry * double(g_evs_lambda()) / rp), 0.05f, 8.0f);
        }
    }
    for (int r = 0; r < rows; ++r) y[r] = std::fma(weight, plus[r], y[r]);
    if (rho > 0.0f && ry > 1e-12) {
        const double rn = rms_f32(y, rows);
        const double cap = ry * double(rho);
        if (rn > cap) scale(y, rows, float(cap / rn));
    }
}

void om2_hybrid_gemv(const Om2Pack& pack, const float* x, float* y) {
    thread_local std::vector<float> tl_res;
    const int rows = pack.rows, cols = pack.cols;
    if (tl_res.size() < size_t(std::max(rows, 0))) tl_res.resize(size_t(rows));
    std::fill(tl_res.begin(), tl_res.begin() + std::max(rows, 0), 0.0f);
    const uint64_t G = uint64_t(pack.group < 1 ? 32 : pack.group);
    const int8_t* R = pack.R.data();
    for (int r = 0; r < rows && cols >= 1; ++r) {
        const int8_t* q = R + size_t(r) * size_t(cols);
        float d = 0.0f;
        int j = 0;
        for (;;) {
            const uint64_t f = uint64_t(r) * uint64_t(cols) + uint64_t(j);
            const uint64_t g = f / G;
            const float s = g < pack.scales.size() ? pack.scales[g] / 7.0f : 0.14285715f;
            const int e = int(std::min<uint64_t>(uint64_t(j) + G - f % G, uint64_t(cols)));
            float l0 = 0, l1 = 0, l2 = 0, l3 = 0;
            for (; j + 16 <= e; j += 16) {
                for (int m = 0; m < 16; m += 4) {
                    l0 = std::fma(x[j + m], float(q[j + m]) * s, l0);
                    l1 = std::fma(x[j + m + 1], float(q[j + m + 1]) * s, l1);
                    l2 = std::fma(x[j + m + 2], float(q[j + m + 2]) * s, l2);
                    l3 = std::fma(x[j + m + 3], float(q[j + m + 3]) * s, l3);
                }
            }
            d += l3 + (l2 + (l0 + l1));
            const int k = e - j, body = k / 4 * 4;
            for (int i = 0; i < k; ++i, ++j) {
                const float v = s * float(q[j]);
                if (i < body) {
                    const float p = x[j] * v;
                    d = d + p;
                } else {
                    d = std::fma(x[j], v, d);
                }
            }
            if (e >= cols) break;
        }
        tl_res[size_t(r)] = d;
    }
    dual_gemv_plus(pack.U.data(), pack.V.data(), pack.S.data(), rows, cols, pack.rank, x, tl_res.data(), y, nullptr,
                   -1.0f);
}

} // namespace vm::apex

namespace vm {

void gemv_amx(const float* A, const float* x, float* y, int M, int N) {
    cblas_sgemv(CblasRowMajor, CblasNoTrans, M, N, 1.0f, A, N, x, 1, 0.0f, y, 1);
}

} // namespace vm
