#pragma once
// What the GPU bridge tests share: the software Vulkan device is allowed
// for every test process, random valid weight blocks, a plain
// dequantise-then-double-dot reference, and a runner for cases that need a
// fresh process (read-once switches, one-time initialisation).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace gputest {

// GGML type ids.
constexpr uint32_t kQ5_0 = 6, kQ8_0 = 8, kQ4_K = 12, kQ6_K = 14;

uint32_t block_weights(uint32_t type);
uint32_t block_bytes(uint32_t type);
inline size_t rows_bytes(uint32_t type, uint32_t M, uint32_t K) {
    return size_t(M) * (K / block_weights(type)) * block_bytes(type);
}

// M rows of K weights of `type`, every block valid (the shared fixture).
std::vector<uint8_t> random_rows(uint32_t type, uint32_t M, uint32_t K, std::mt19937& rng);
// The M×K float weights of those rows, by the engine's CPU decoder.
std::vector<float> dequantise(uint32_t type, const uint8_t* rows, uint32_t M, uint32_t K);
std::vector<float> random_floats(size_t n, std::mt19937& rng, float lo = -1.0f, float hi = 1.0f);

// C = A·B in double, and Σ|a·b| per element (the tolerance scale).
struct Reference {
    std::vector<double> c, abs_sum;
};
Reference reference_product(const std::vector<float>& a, const float* b, uint32_t M, uint32_t K, uint32_t N);
// Every element within 1e-5·Σ|a·b| (plus a tiny floor for all-zero sums).
void expect_matches(const Reference& ref, const float* c, uint32_t M, uint32_t N, const char* what);

// Page-aligned memory for buffers wrapped without a copy.
struct PageBuffer {
    explicit PageBuffer(size_t bytes);
    ~PageBuffer();
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    uint8_t* data = nullptr;
    size_t size = 0;
};

} // namespace gputest

// The bridge must come up on the test machine (lavapipe with
// VIVIROV_GPU_ALLOW_CPU=1, set for every test process).
#define REQUIRE_BRIDGE() ASSERT_EQ(vm_gpu_bridge_init(), 1) << "no Vulkan device for the bridge tests"

// Runs the braced body in a fresh copy of the test process; its EXPECTs
// decide the result. Keep the test body free of bridge calls before this.
#define EXPECT_IN_CHILD(...)                                                                                    \
    do {                                                                                                        \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                                                         \
        auto child_body = [&] __VA_ARGS__;                                                                      \
        EXPECT_EXIT(                                                                                            \
            {                                                                                                   \
                child_body();                                                                                   \
                std::exit(::testing::Test::HasFailure() ? 1 : 0);                                               \
            },                                                                                                  \
            ::testing::ExitedWithCode(0), "");                                                                  \
    } while (0)
