#include "GpuTestSupport.h"

#include "engine/vm_cabi_v2/dequant.h"
#include "tests/support/RandomBlocks.h"

#include <sys/mman.h>

#include <cmath>
#include <cstring>

namespace gputest {

namespace {

// Every test process may use the software device; lavapipe runs its work on
// the submitting thread, which keeps small dispatches cheap.
const bool g_env = [] {
    setenv("VIVIROV_GPU_ALLOW_CPU", "1", 0);
    setenv("LP_NUM_THREADS", "0", 0);
    return true;
}();

} // namespace

uint32_t block_weights(uint32_t type) { return vivirov::test::ggmlGeometry(type).elementsPerBlock; }
uint32_t block_bytes(uint32_t type) { return vivirov::test::ggmlGeometry(type).bytesPerBlock; }

std::vector<uint8_t> random_rows(uint32_t type, uint32_t M, uint32_t K, std::mt19937& rng) {
    std::string bytes = vivirov::test::randomBlocks(type, uint64_t(M) * K, rng);
    return {bytes.begin(), bytes.end()};
}

std::vector<float> dequantise(uint32_t type, const uint8_t* rows, uint32_t M, uint32_t K) {
    std::vector<float> out(size_t(M) * K);
    EXPECT_TRUE(vm::dequant_tensor(type, rows, out.data(), out.size()));
    return out;
}

std::vector<float> random_floats(size_t n, std::mt19937& rng, float lo, float hi) {
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<float> v(n);
    for (auto& x : v) x = d(rng);
    return v;
}

Reference reference_product(const std::vector<float>& a, const float* b, uint32_t M, uint32_t K, uint32_t N) {
    Reference r{std::vector<double>(size_t(M) * N), std::vector<double>(size_t(M) * N)};
    for (uint32_t m = 0; m < M; ++m)
        for (uint32_t n = 0; n < N; ++n) {
            double s = 0, abs = 0;
            for (uint32_t k = 0; k < K; ++k) {
                double p = double(a[size_t(m) * K + k]) * double(b[size_t(k) * N + n]);
                s += p;
                abs += std::fabs(p);
            }
            r.c[size_t(m) * N + n] = s;
            r.abs_sum[size_t(m) * N + n] = abs;
        }
    return r;
}

void expect_matches(const Reference& ref, const float* c, uint32_t M, uint32_t N, const char* what) {
    int reported = 0;
    for (size_t i = 0; i < size_t(M) * N; ++i) {
        double tol = 1e-5 * ref.abs_sum[i] + 1e-30;
        if (std::fabs(double(c[i]) - ref.c[i]) > tol && reported++ < 5)
            ADD_FAILURE() << what << ": element " << i << " (row " << i / N << ", col " << i % N << ") is " << c[i]
                          << ", reference " << ref.c[i] << " ± " << tol;
    }
}

PageBuffer::PageBuffer(size_t bytes) : size(bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

PageBuffer::~PageBuffer() {
    if (data) munmap(data, size);
}

} // namespace gputest
