#include "zov4/zov4_moe_job.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "zov4/zov4_moe_types.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

// Weight bytes one claim covers: a share of its phase that leaves each
// participant about kClaimsEach claims to even out the last ones, at least
// kRunBytes so that the claim counter stays cold, at most kMaxRunBytes.
// Long runs let each core's prefetch stream far, which matters most when a
// phase reads many small matrices (the experts of a batch of rows). Row
// counts are rounded to whole 64-byte lines of outputs so that neighbouring
// claims do not share them, and to whole tiles of the several-row kernel
// (three weight rows) below that.
constexpr uint64_t kRunBytes = 32 * 1024;
constexpr uint64_t kMaxRunBytes = 256 * 1024;
constexpr uint64_t kClaimsEach = 6;
constexpr int32_t kRowGrain = 48;
constexpr int32_t kTileRows = 3;
// Below this many weight bytes the caller computes everything itself.
constexpr uint64_t kInlineBytes = 48 * 1024;

uint64_t run_bytes(uint64_t phase_bytes, int participants) {
    return std::clamp<uint64_t>(phase_bytes / (uint64_t(std::max(participants, 1)) * kClaimsEach), kRunBytes,
                                kMaxRunBytes);
}

int32_t run_rows(uint64_t bytes_per_row, int32_t total, uint64_t run) {
    int32_t r = int32_t(std::clamp<uint64_t>(run / std::max<uint64_t>(bytes_per_row, 1), 1, uint64_t(total)));
    if (r >= kRowGrain)
        r = r / kRowGrain * kRowGrain;
    else if (r >= kTileRows)
        r = r / kTileRows * kTileRows;
    return r;
}

void pause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
}

struct Plan {
    const GatedFfn* nets = nullptr;
    int count = 0;
    float* out = nullptr;
    int32_t K = 0;
    std::vector<RowProduct> up, gate, down;
    std::vector<int32_t> rows_a; // up/gate rows per claim, per network
    std::vector<int64_t> first_a; // first claim of each network
    int32_t rows_b = 0;          // output features per claim
    int64_t runs_a = 0, runs_b = 0;
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done_a{0};

    void up_gate(int i, int32_t a, int32_t b) const {
        const GatedFfn& f = nets[i];
        row_product_range(up[size_t(i)], a, b, f.rows);
        row_product_range(gate[size_t(i)], a, b, f.rows);
        for (int32_t m = 0; m < f.rows; ++m) {
            const int64_t at = int64_t(m) * f.N;
            if (f.weight) {
                const float w = f.weight[m];
                for (int64_t j = at + a; j < at + b; ++j) f.A[j] = expert_activation(f.U[j], f.G[j], w, f.clamp);
            } else {
                for (int64_t j = at + a; j < at + b; ++j) f.A[j] = f.U[j] * silu(f.G[j]);
            }
        }
    }

    void down_add(int32_t j0, int32_t j1) const {
        for (int i = 0; i < count; ++i) row_product_range(down[size_t(i)], j0, j1, nets[i].rows);
        for (int i = 0; i < count; ++i) {
            const GatedFfn& f = nets[i];
            for (int32_t m = 0; m < f.rows; ++m) {
                float* o = out + int64_t(f.out_rows ? f.out_rows[m] : m) * K;
                const float* d = f.D + int64_t(m) * K;
                for (int32_t j = j0; j < j1; ++j) o[j] += d[j];
            }
        }
    }

    // One participant: claims until none are left.
    void work() {
        int i = 0;
        for (int64_t u; (u = next.fetch_add(1, std::memory_order_relaxed)) < runs_a + runs_b;) {
            if (u < runs_a) {
                while (u >= first_a[size_t(i) + 1]) ++i;
                const int32_t a = int32_t(u - first_a[size_t(i)]) * rows_a[size_t(i)];
                up_gate(i, a, std::min(nets[i].N, a + rows_a[size_t(i)]));
                done_a.fetch_add(1, std::memory_order_release);
                continue;
            }
            // Every up/gate run has been claimed; the down rows need them all.
            for (int spins = 1; done_a.load(std::memory_order_acquire) < runs_a; ++spins)
                if (spins % 1024 == 0)
                    std::this_thread::yield();
                else
                    pause();
            const int32_t j0 = int32_t(u - runs_a) * rows_b;
            down_add(j0, std::min(K, j0 + rows_b));
        }
    }
};

} // namespace

bool run_gated_ffns(const GatedFfn* nets, int count, float* out) {
    if (count < 1) return true;
    if (!nets || !out) return false;
    Plan p;
    p.nets = nets;
    p.count = count;
    p.out = out;
    p.K = nets[0].K;
    p.first_a.push_back(0);
    uint64_t bytes_a = 0, bytes_b = 0, down_row_bytes = 0;
    std::vector<uint64_t> row_bytes_a;
    for (int i = 0; i < count; ++i) {
        const GatedFfn& f = nets[i];
        if (f.K != p.K || f.rows < 1 || !f.U || !f.G || !f.A || !f.D) return false;
        const RowProduct up{f.type[0], f.W[0], f.N, f.K, f.X, f.U, 0, f.rows};
        const RowProduct gate{f.type[1], f.W[1], f.N, f.K, f.X, f.G, 0, f.rows};
        const RowProduct down{f.type[2], f.W[2], f.K, f.N, f.A, f.D, 0, f.rows};
        if (!row_product_valid(up) || !row_product_valid(gate) || !row_product_valid(down)) return false;
        const uint64_t rb_ug = ggml_row_bytes(up.type, uint64_t(f.K)) + ggml_row_bytes(gate.type, uint64_t(f.K));
        const uint64_t rb_d = ggml_row_bytes(down.type, uint64_t(f.N));
        p.up.push_back(up);
        p.gate.push_back(gate);
        p.down.push_back(down);
        row_bytes_a.push_back(rb_ug);
        bytes_a += rb_ug * uint64_t(f.N);
        bytes_b += rb_d * uint64_t(f.K);
        down_row_bytes += rb_d;
    }
    const bool inline_job = bytes_a + bytes_b < kInlineBytes;
    const int participants = inline_job ? 1 : vm::apex::det_pool_global()->participants();
    const uint64_t run_a = run_bytes(bytes_a, participants);
    for (int i = 0; i < count; ++i) {
        p.rows_a.push_back(run_rows(row_bytes_a[size_t(i)], nets[i].N, run_a));
        p.first_a.push_back(p.first_a.back() + (nets[i].N + p.rows_a.back() - 1) / p.rows_a.back());
    }
    p.runs_a = p.first_a.back();
    p.rows_b = run_rows(down_row_bytes, p.K, run_bytes(bytes_b, participants));
    p.runs_b = (p.K + p.rows_b - 1) / p.rows_b;
    if (inline_job || participants < 2)
        p.work();
    else
        vm::apex::det_pool_global()->parallel([&p](int, int) { p.work(); });
    return true;
}

} // namespace vm::zov4
