// The low-rank om2 expert products against OpenBLAS in the same run.
//
// BM_URowsDet: dual_gemv_U_rows_det (the U step of every om2 product,
// 7168 rows, rank 64, on the deterministic pool) beside BM_SgemvBaseline,
// OpenBLAS sgemv of the same shape on the same data. Target: the
// "ratio_to_sgemv" counter at most 1.5. OpenBLAS gets the whole thread
// budget for its baseline (the engine itself keeps it at one thread).
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <chrono>
#include <vector>

#include "bench/blas_baseline_threads.h"
#include "engine/vm_cabi_v2/low_rank_gemv.h"

namespace {

constexpr int kRows = 7168, kRank = 64;
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

double secondsPerCall(const Shape& s, bool det, int reps) {
    std::vector<float> y(kRows);
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) {
        if (det)
            vm::apex::dual_gemv_U_rows_det(s.U.data(), s.t.data(), kRows, kRank, y.data());
        else
            cblas_sgemv(CblasRowMajor, CblasNoTrans, kRows, kRank, 1.0f, s.U.data(), kRank, s.t.data(), 1, 0.0f,
                        y.data(), 1);
        benchmark::DoNotOptimize(y.data());
    }
    return std::chrono::duration<double>(Clock::now() - t0).count() / reps;
}

void BM_SgemvBaseline(benchmark::State& state) {
    const vivirov::bench::BlasOnWholeBudget blasThreads;
    Shape s;
    for (auto _ : state) {
        cblas_sgemv(CblasRowMajor, CblasNoTrans, kRows, kRank, 1.0f, s.U.data(), kRank, s.t.data(), 1, 0.0f,
                    s.y.data(), 1);
        benchmark::DoNotOptimize(s.y.data());
    }
}

void BM_URowsDet(benchmark::State& state) {
    Shape s;
    for (auto _ : state) {
        vm::apex::dual_gemv_U_rows_det(s.U.data(), s.t.data(), kRows, kRank, s.y.data());
        benchmark::DoNotOptimize(s.y.data());
    }
    // Same-run comparison, interleaved so that both see the same machine load.
    double det = 0, blas = 0;
    for (int round = 0; round < 5; ++round) {
        det += secondsPerCall(s, true, 200);
        const vivirov::bench::BlasOnWholeBudget blasThreads;
        blas += secondsPerCall(s, false, 200);
    }
    state.counters["ratio_to_sgemv"] = det / blas;
    state.counters["det_us"] = det / 5 * 1e6;
    state.counters["sgemv_us"] = blas / 5 * 1e6;
}

} // namespace

BENCHMARK(BM_SgemvBaseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_URowsDet)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
