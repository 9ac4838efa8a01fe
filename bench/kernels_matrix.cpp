// Quantised matrix products against same-run baselines.
//
// GEMV: weight GB/s of fused_q_gemv (1 participant) and fused_q_gemv_det on
// the process-wide pool (all participants), beside the STREAM-style read
// bandwidth of as many threads. Target: at least 0.6 of it with 8
// ("share_of_read" over all iterations, "best_share_of_read" from the best
// of rounds like the bandwidth itself).
//
// GEMM: GFLOP/s of fused_q_gemm_det at M = 1, 2, 8, 16 beside OpenBLAS sgemm
// on the dequantised matrix. The route switches are read once per process:
// run once as is (tiled sgemm routes; target at least 0.5 of sgemm) and once
// with VIVIROV_AMX_PC=0 (fused row route; target M = 16 within 2× of M = 1,
// the "time_over_M1" counter: best of alternating rounds of both). Beside it,
// "fma_floor_over_M1": the time the M-row products would take at the
// measured fma peak of one thread times the participants, over the M = 1
// time — the least time_over_M1 any kernel doing one vector fma per
// product can reach.
// VIVIROV_BENCH_KERNELS=avx2 or =portable runs a narrower kernel build.
// Each row's "route" label names the route taken.
// Run with VIVIROV_ENGINE_THREADS=8 on machines with fewer than 8 threads.
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/blas_baseline_threads.h"
#include "bench/fma_peak.h"
#include "bench/read_bandwidth.h"
#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/det_pool.h"
#include "engine/vm_cabi_v2/fused_q_kernels.h"
#include "engine/vm_cabi_v2/gemm_route.h"
#include "engine/vm_cabi_v2/kernel_ops.h"
#include "tests/support/RandomBlocks.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string& weights(uint32_t type, int64_t n, int64_t k) {
    static std::map<std::tuple<uint32_t, int64_t, int64_t>, std::string> cache;
    auto& w = cache[{type, n, k}];
    if (w.empty()) w = vivirov::test::randomBlocks(type, uint64_t(n * k), uint32_t(type * 7 + n));
    return w;
}

std::vector<float> activations(size_t n) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = float(int(i * 2654435761u % 2001) - 1000) * 1e-3f;
    return x;
}

double fmaPeak(unsigned threads) {
    static std::map<unsigned, double> cache;
    auto& b = cache[threads];
    if (b == 0) b = vivirov::bench::measureFmaPeak(threads);
    return b;
}

// A narrower kernel build when VIVIROV_BENCH_KERNELS names one.
[[maybe_unused]] const bool kBuildChosen = [] {
    const char* e = std::getenv("VIVIROV_BENCH_KERNELS");
    if (!e) return false;
    const std::string name = e;
    if (name == "portable") vm::force_kernel_ops(&vm::portable_kernel_ops());
    else if (name == "avx2" && vm::avx2_kernel_ops()) vm::force_kernel_ops(vm::avx2_kernel_ops());
    else return false;
    return true;
}();

double bandwidth(unsigned threads) {
    static std::map<unsigned, double> cache;
    auto& b = cache[threads];
    if (b == 0) b = vivirov::bench::measureReadBandwidth(threads);
    return b;
}

void BM_Gemv(benchmark::State& state) {
    const auto type = uint32_t(state.range(0));
    const auto N = int32_t(state.range(1)), K = 4096;
    const bool pooled = state.range(2) > 1;
    const std::string& w = weights(type, N, K);
    const auto* W = reinterpret_cast<const uint8_t*>(w.data());
    const auto x = activations(size_t(K));
    std::vector<float> y(static_cast<size_t>(N));
    const unsigned participants = pooled ? unsigned(vm::apex::det_pool_global()->participants()) : 1;
    const auto t0 = Clock::now();
    for (auto _ : state) {
        if (pooled) vm::apex::fused_q_gemv_det(type, W, N, K, x.data(), y.data(), 64);
        else vm::apex::fused_q_gemv(type, W, N, K, x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
    const double sec = std::chrono::duration<double>(Clock::now() - t0).count();
    const double gbps = double(w.size()) * double(state.iterations()) / sec / 1e9;
    // The read bandwidth is the best of its rounds; the same rule for the
    // kernel: best of rounds of a few calls, on a shared machine the figure
    // least disturbed by other work.
    double best = 1e30;
    for (int round = 0; round < 20; ++round) {
        const auto a = Clock::now();
        for (int i = 0; i < 4; ++i) {
            if (pooled) vm::apex::fused_q_gemv_det(type, W, N, K, x.data(), y.data(), 64);
            else vm::apex::fused_q_gemv(type, W, N, K, x.data(), y.data());
        }
        best = std::min(best, std::chrono::duration<double>(Clock::now() - a).count() / 4);
    }
    const double bestGbps = double(w.size()) / best / 1e9;
    state.SetLabel(vm::kernel_ops().name);
    state.counters["participants"] = participants;
    state.counters["weight_GB_per_s"] = gbps;
    state.counters["read_GB_per_s"] = bandwidth(participants);
    state.counters["share_of_read"] = gbps / bandwidth(participants);
    state.counters["best_share_of_read"] = bestGbps / bandwidth(participants);
}

void BM_Gemm(benchmark::State& state) {
    const auto type = uint32_t(state.range(0));
    const auto M = int32_t(state.range(1));
    const int32_t N = 4096, K = 4096;
    const std::string& w = weights(type, N, K);
    const auto* W = reinterpret_cast<const uint8_t*>(w.data());
    const auto X = activations(size_t(M) * size_t(K));
    std::vector<float> Y(size_t(M) * size_t(N));
    const auto t0 = Clock::now();
    for (auto _ : state) {
        vm::apex::fused_q_gemm_det(type, W, N, K, X.data(), M, Y.data(), 32, -1, 0);
        benchmark::DoNotOptimize(Y.data());
    }
    const double sec = std::chrono::duration<double>(Clock::now() - t0).count() / double(state.iterations());

    // Baseline: sgemm on the already dequantised matrix, same shape, on
    // OpenBLAS's own threads (as many as the budget).
    std::vector<float> Wf(size_t(N) * size_t(K));
    vm::dequant_tensor(type, W, Wf.data(), Wf.size());
    const int reps = 10;
    double base;
    {
        const vivirov::bench::BlasOnWholeBudget blasThreads;
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, X.data(), K, Wf.data(), K, 0.0f,
                    Y.data(), N);
        const auto b0 = Clock::now();
        for (int i = 0; i < reps; ++i)
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, X.data(), K, Wf.data(), K, 0.0f,
                        Y.data(), N);
        base = std::chrono::duration<double>(Clock::now() - b0).count() / reps;
    }

    // The M = 1 comparison in alternating rounds, best of each, so both
    // sides see the same machine load.
    double bestM = 1e30, best1 = 1e30;
    std::vector<float> one(static_cast<size_t>(N));
    for (int round = 0; round < 6; ++round) {
        const auto a = Clock::now();
        for (int i = 0; i < 3; ++i) vm::apex::fused_q_gemm_det(type, W, N, K, X.data(), M, Y.data(), 32, -1, 0);
        const auto b = Clock::now();
        for (int i = 0; i < 3; ++i) vm::apex::fused_q_gemm_det(type, W, N, K, X.data(), 1, one.data(), 32, -1, 0);
        const auto c = Clock::now();
        bestM = std::min(bestM, std::chrono::duration<double>(b - a).count() / 3);
        best1 = std::min(best1, std::chrono::duration<double>(c - b).count() / 3);
    }
    const double flops = 2.0 * M * double(N) * K;
    state.SetLabel(std::string(vm::apex::gemm_route_name(vm::apex::gemm_route(type, N, K, M))) + " " +
                   vm::kernel_ops().name);
    state.counters["GFLOP_per_s"] = flops / sec / 1e9;
    state.counters["sgemm_GFLOP_per_s"] = flops / base / 1e9;
    state.counters["share_of_sgemm"] = base / sec;
    state.counters["ms_M1"] = best1 * 1e3;
    state.counters["time_over_M1"] = bestM / best1;
    const unsigned participants = unsigned(vm::apex::det_pool_global()->participants());
    // One thread's peak times the participants: the floor of an unshared machine.
    const double peak = fmaPeak(1) * participants;
    state.counters["fma_floor_over_M1"] = flops / (peak * 1e9) / best1;
    state.counters["share_of_fma_peak"] = flops / sec / 1e9 / peak;
}

} // namespace

BENCHMARK(BM_Gemv)
    ->ArgsProduct({{8, 12, 14}, {4096, 8192, 16384}, {1, 8}})
    ->ArgNames({"type", "N", "participants"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Gemm)
    ->ArgsProduct({{8, 12}, {1, 2, 8, 16}})
    ->ArgNames({"type", "M"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
