// The decode's Q8_0 row kernel on one thread, an 8192 × 2048 matrix (the
// output head's shape) against M = 1, 2, 4, 8 and 16 activation rows, beside
// OpenBLAS's single-threaded sgemm on the same matrix already dequantised
// (same M, N, K, measured in the same run). "vs_sgemm" is the kernel's time
// over sgemm's: at M = 1 both stream the weights (the kernel reads a quarter
// of the bytes), for larger M both are bound by multiply-adds, and the
// kernel also widens every weight block once per activation tile.
// "per_row_vs_M1" is the time per activation row against M = 1's, which a
// batched decode step wants well below 1. The same for F32 rows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <cblas.h>

#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/ggml_blocks.h"
#include "engine/zov4/zov4_wide_rows.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kN = 8192, kK = 2048;

const std::vector<uint8_t>& weights() {
    static const std::vector<uint8_t> w = [] {
        std::mt19937 rng(7);
        std::vector<uint8_t> b(size_t(kN) * size_t(kK / 32) * 34);
        for (size_t at = 0; at < b.size(); at += 34) {
            const uint16_t scale = uint16_t(0x1C00 + rng() % 0x400); // small positive halves
            std::memcpy(&b[at], &scale, 2);
            for (int i = 0; i < 32; ++i) b[at + 2 + size_t(i)] = uint8_t(int(rng() % 255) - 127);
        }
        return b;
    }();
    return w;
}

double seconds_per_call(vm::zov4::WideRowsKernel k, const float* X, int32_t M, float* Y, int reps) {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; ++i) k(weights().data(), 0, kN, kK, X, M, Y, kN);
    return std::chrono::duration<double>(Clock::now() - t0).count() / reps;
}

double g_m1_seconds[2] = {0.0, 0.0};

// range(0): activation rows; range(1): 0 the run-time choice, 1 the AVX2 build.
void BM_WideRowsQ8(benchmark::State& state) {
    const auto M = int32_t(state.range(0));
    const int which = int(state.range(1));
    const vm::zov4::WideRowsKernel k =
        which == 1 ? vm::zov4::wide_rows_kernel_avx2(vm::kGgmlQ8_0) : vm::zov4::wide_rows_kernel(vm::kGgmlQ8_0);
    if (!k) {
        state.SkipWithError("no vector row kernel on this CPU");
        return;
    }
    std::vector<float> X(size_t(M) * kK), Y(size_t(M) * kN);
    for (size_t i = 0; i < X.size(); ++i) X[i] = std::sin(0.37f * float(i));
    double best = 1e30;
    for (auto _ : state) {
        const double s = seconds_per_call(k, X.data(), M, Y.data(), 1);
        best = std::min(best, s);
        benchmark::DoNotOptimize(Y.data());
    }

    std::vector<float> Wf(size_t(kN) * kK);
    vm::dequant_tensor(vm::kGgmlQ8_0, weights().data(), Wf.data(), Wf.size());
    openblas_set_num_threads(1);
    double base = 1e30;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, kN, kK, 1.0f, X.data(), kK, Wf.data(), kK, 0.0f,
                    Y.data(), kN);
        base = std::min(base, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    state.counters["ms_best"] = best * 1e3;
    state.counters["ms_sgemm"] = base * 1e3;
    state.counters["vs_sgemm"] = best / base;
    if (M == 1) g_m1_seconds[which] = best;
    if (g_m1_seconds[which] > 0.0) state.counters["per_row_vs_M1"] = best / M / g_m1_seconds[which];
}

// F32 rows (the single-precision weight copies), 2048 × 2048, against
// sgemm on the same matrix: both read the same bytes and multiply as much.
void BM_WideRowsF32(benchmark::State& state) {
    const auto M = int32_t(state.range(0));
    const int which = int(state.range(1));
    constexpr int32_t N = 2048, K = 2048;
    const vm::zov4::WideRowsKernel k =
        which == 1 ? vm::zov4::wide_rows_kernel_avx2(vm::kGgmlF32) : vm::zov4::wide_rows_kernel(vm::kGgmlF32);
    if (!k) {
        state.SkipWithError("no vector row kernel on this CPU");
        return;
    }
    std::vector<float> W(size_t(N) * K), X(size_t(M) * K), Y(size_t(M) * N);
    for (size_t i = 0; i < W.size(); ++i) W[i] = std::cos(0.11f * float(i % 9973));
    for (size_t i = 0; i < X.size(); ++i) X[i] = std::sin(0.37f * float(i));
    const auto* bytes = reinterpret_cast<const uint8_t*>(W.data());
    double best = 1e30;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        k(bytes, 0, N, K, X.data(), M, Y.data(), N);
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
        benchmark::DoNotOptimize(Y.data());
    }
    openblas_set_num_threads(1);
    double base = 1e30;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, X.data(), K, W.data(), K, 0.0f, Y.data(),
                    N);
        base = std::min(base, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    state.counters["ms_best"] = best * 1e3;
    state.counters["ms_sgemm"] = base * 1e3;
    state.counters["vs_sgemm"] = best / base;
}

} // namespace

BENCHMARK(BM_WideRowsF32)
    ->ArgsProduct({{1, 8}, {0, 1}})
    ->ArgNames({"M", "avx2"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(12);

BENCHMARK(BM_WideRowsQ8)
    ->ArgsProduct({{1, 2, 4, 8, 16}, {0, 1}})
    ->ArgNames({"M", "avx2"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(12);

BENCHMARK_MAIN();
