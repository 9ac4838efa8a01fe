#pragma once
// The machine's fma throughput: `threads` threads each running independent
// single-precision fma chains in registers, at the widest vector width this
// CPU has (512 or 256 bits); the best of several rounds, in GFLOP/s. The
// compute bound of any kernel whose every product is a vector fma.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace vivirov::bench {

namespace fma_detail {

constexpr long kSteps = 1 << 22;

// Sixteen chains, each fma reading the previous value: 2 · lanes · 16 flops a step.
#define VIVIROV_FMA_CHAINS(V, FMA, SET)                                                                          \
    V a[16];                                                                                                   \
    _Pragma("GCC unroll 16") for (int i = 0; i < 16; ++i) a[i] = SET(seed + float(i));                       \
    const V m = SET(0.999f), c = SET(1e-3f);                                                                   \
    for (long s = 0; s < kSteps; ++s) {                                                                        \
        _Pragma("GCC unroll 16") for (int i = 0; i < 16; ++i) a[i] = FMA(a[i], m, c);                        \
    }                                                                                                          \
    V t = a[0];                                                                                                \
    _Pragma("GCC unroll 16") for (int i = 1; i < 16; ++i) t = FMA(t, m, a[i]);                               \
    float out[sizeof(V) / 4];                                                                                  \
    std::memcpy(out, &t, sizeof(V));                                                                           \
    return out[0];

__attribute__((target("avx512f"))) inline float run512(float seed) {
    VIVIROV_FMA_CHAINS(__m512, _mm512_fmadd_ps, _mm512_set1_ps)
}
__attribute__((target("avx2,fma"))) inline float run256(float seed) {
    VIVIROV_FMA_CHAINS(__m256, _mm256_fmadd_ps, _mm256_set1_ps)
}
#undef VIVIROV_FMA_CHAINS

} // namespace fma_detail

inline double measureFmaPeak(unsigned threads) {
    __builtin_cpu_init();
    const bool wide = __builtin_cpu_supports("avx512f");
    const double flopsPerThread = 2.0 * (wide ? 16 : 8) * 16 * double(fma_detail::kSteps);
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        std::vector<float> sink(threads);
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back([&, t] { sink[t] = wide ? fma_detail::run512(float(t)) : fma_detail::run256(float(t)); });
        for (auto& th : pool) th.join();
        const double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        benchmark::DoNotOptimize(sink.data());
        best = std::max(best, flopsPerThread * threads / sec / 1e9);
    }
    return best;
}

} // namespace vivirov::bench
