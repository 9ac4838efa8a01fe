#pragma once
// The machine's read bandwidth, STREAM-style: `threads` threads each sum
// their share of one 1 GiB buffer with 128-bit loads; the best of several
// rounds, in GB/s. The physical bound of every weight-streaming kernel.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace vivirov::bench {

inline double measureReadBandwidth(unsigned threads = std::max(1u, std::thread::hardware_concurrency())) {
    const size_t n = size_t(1) << 26; // 128-bit words
    std::vector<uint64_t> words(2 * n, 1);
    const __m128i* data = reinterpret_cast<const __m128i*>(words.data());
    double best = 0;
    for (int round = 0; round < 8; ++round) {
        std::vector<uint64_t> sums(threads);
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                size_t b = n * t / threads, e = n * (t + 1) / threads;
                __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
                size_t i = b;
                for (; i + 4 <= e; i += 4) {
                    a0 = _mm_add_epi64(a0, _mm_loadu_si128(data + i));
                    a1 = _mm_add_epi64(a1, _mm_loadu_si128(data + i + 1));
                    a2 = _mm_add_epi64(a2, _mm_loadu_si128(data + i + 2));
                    a3 = _mm_add_epi64(a3, _mm_loadu_si128(data + i + 3));
                }
                a0 = _mm_add_epi64(_mm_add_epi64(a0, a1), _mm_add_epi64(a2, a3));
                uint64_t o[2];
                _mm_storeu_si128(reinterpret_cast<__m128i*>(o), a0);
                sums[t] = o[0] + o[1];
            });
        for (auto& th : pool) th.join();
        double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        benchmark::DoNotOptimize(sums.data());
        best = std::max(best, double(n * 16) / sec / 1e9);
    }
    return best;
}

} // namespace vivirov::bench
