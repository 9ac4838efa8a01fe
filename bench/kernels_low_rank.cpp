// The U step of the low-rank om2 expert products against OpenBLAS sgemv in
// the same run, each side with the same threads.
//
// dual_gemv_U_rows_det (7168 rows, rank 64) runs on the deterministic pool.
// Its fair baseline is sgemv on the same data split the same way: the same
// pool's participants each claiming 64-row chunks and running OpenBLAS's
// single-threaded sgemv on them (the engine keeps OpenBLAS at one thread, and
// a multi-threaded OpenBLAS would spin against the pool). BM_URowsOneThread
// compares the two kernels on one thread, with no pool at all.
//
// The sides are timed in alternating rounds, the best round of each kept, so
// both see the same machine load. Target: "ratio_to_sgemv" at most 1.5.
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

#include "engine/common/thread_budget.h"
#include "engine/vm_cabi_v2/det_pool.h"
#include "engine/vm_cabi_v2/kernel_ops.h"
#include "engine/vm_cabi_v2/low_rank_gemv.h"

namespace {

constexpr int kRows = 7168, kRank = 64, kChunk = 64;
using Clock = std::chrono::steady_clock;

struct Shape {
    std::vector<float> U = std::vector<float>(size_t(kRows) * kRank);
    std::vector<float> t = std::vector<float>(kRank);
    std::vector<float> y = std::vector<float>(kRows);
    Shape() {
        for (size_t i = 0; i < U.size(); ++i) U[i] = float(int(i * 2654435761u % 2001) - 1000) * 1e-3f;
        for (int k = 0; k < kRank; ++k) t[size_t(k)] = float(k % 7) * 0.1f - 0.3f;
    }
};

void sgemvRows(const Shape& s, int begin, int end, float* y) {
    cblas_sgemv(CblasRowMajor, CblasNoTrans, end - begin, kRank, 1.0f, s.U.data() + size_t(begin) * kRank, kRank,
                s.t.data(), 1, 0.0f, y + begin, 1);
}

// sgemv on the pool, chunked as dual_gemv_U_rows_det chunks its rows.
void sgemvOnPool(const Shape& s, float* y) {
    std::atomic<int> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        for (int a; (a = next.fetch_add(kChunk, std::memory_order_relaxed)) < kRows;)
            sgemvRows(s, a, std::min(a + kChunk, kRows), y);
    });
}

// Best seconds per call of each side over alternating rounds.
template <class Det, class Base>
void compare(benchmark::State& state, Det det, Base base) {
    double bestDet = 1e30, bestBase = 1e30;
    for (int round = 0; round < 20; ++round) {
        const auto a = Clock::now();
        for (int i = 0; i < 50; ++i) det();
        const auto b = Clock::now();
        for (int i = 0; i < 50; ++i) base();
        const auto c = Clock::now();
        bestDet = std::min(bestDet, std::chrono::duration<double>(b - a).count() / 50);
        bestBase = std::min(bestBase, std::chrono::duration<double>(c - b).count() / 50);
    }
    state.counters["det_us"] = bestDet * 1e6;
    state.counters["sgemv_us"] = bestBase * 1e6;
    state.counters["ratio_to_sgemv"] = bestDet / bestBase;
}

void BM_URowsDet(benchmark::State& state) {
    vm::thread_budget(); // OpenBLAS at one thread, as in the engine
    Shape s;
    std::vector<float> y(kRows);
    for (auto _ : state) {
        vm::apex::dual_gemv_U_rows_det(s.U.data(), s.t.data(), kRows, kRank, s.y.data());
        benchmark::DoNotOptimize(s.y.data());
    }
    compare(
        state,
        [&] {
            vm::apex::dual_gemv_U_rows_det(s.U.data(), s.t.data(), kRows, kRank, s.y.data());
            benchmark::DoNotOptimize(s.y.data());
        },
        [&] {
            sgemvOnPool(s, y.data());
            benchmark::DoNotOptimize(y.data());
        });
    state.counters["threads"] = vm::apex::det_pool_global()->participants();
    state.SetLabel("sgemv: OpenBLAS 1 thread per chunk on the same pool");
}

void BM_URowsOneThread(benchmark::State& state) {
    vm::thread_budget();
    Shape s;
    std::vector<float> y(kRows);
    const vm::KernelOps& ops = vm::kernel_ops();
    for (auto _ : state) {
        ops.u_rows64(s.U.data(), s.t.data(), kRows, s.y.data());
        benchmark::DoNotOptimize(s.y.data());
    }
    compare(
        state,
        [&] {
            ops.u_rows64(s.U.data(), s.t.data(), kRows, s.y.data());
            benchmark::DoNotOptimize(s.y.data());
        },
        [&] {
            sgemvRows(s, 0, kRows, y.data());
            benchmark::DoNotOptimize(y.data());
        });
    state.counters["threads"] = 1;
    state.SetLabel("sgemv: OpenBLAS 1 thread");
}

} // namespace

BENCHMARK(BM_URowsDet)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_URowsOneThread)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_MAIN();
