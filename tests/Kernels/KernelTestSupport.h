#pragma once
// Helpers shared by the kernel tests: running a check under each kernel
// build (vector and portable) and comparing floats bit for bit.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/vm_cabi_v2/dequant.h"
#include "engine/vm_cabi_v2/kernel_ops.h"
#include "tests/support/RandomBlocks.h"

namespace vivirov::test {

// The builds this CPU can run: the portable one first, then the vector ones
// present (AVX2, AVX-512).
inline std::vector<vm::KernelOps> kernelBuilds() {
    std::vector<vm::KernelOps> out{vm::portable_kernel_ops()};
    if (const vm::KernelOps* v = vm::avx2_kernel_ops()) out.push_back(*v);
    if (const vm::KernelOps* v = vm::avx512_kernel_ops()) out.push_back(*v);
    return out;
}

// Makes the engine use the given build (a copy from kernelBuilds) for its lifetime.
class ScopedKernels {
public:
    explicit ScopedKernels(const vm::KernelOps& ops) {
        const vm::KernelOps* tables[] = {&vm::portable_kernel_ops(), vm::avx2_kernel_ops(), vm::avx512_kernel_ops()};
        for (const vm::KernelOps* t : tables)
            if (t && std::strcmp(t->name, ops.name) == 0) vm::force_kernel_ops(t);
    }
    ~ScopedKernels() { vm::force_kernel_ops(nullptr); }
    ScopedKernels(const ScopedKernels&) = delete;
    ScopedKernels& operator=(const ScopedKernels&) = delete;
};

inline bool bitsEqual(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

inline std::vector<float> randomFloats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& f : v) f = u(rng);
    return v;
}

// A random N × K matrix of a GGML type, with its decoded floats.
struct TestMatrix {
    uint32_t type;
    int32_t N, K;
    std::string bytes;
    std::vector<float> decoded;

    TestMatrix(uint32_t t, int32_t n, int32_t k, uint32_t seed)
        : type(t), N(n), K(k), bytes(randomBlocks(t, uint64_t(n) * uint64_t(k), seed)),
          decoded(size_t(n) * size_t(k)) {
        vm::dequant_tensor(t, data(), decoded.data(), decoded.size());
    }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes.data()); }

    // Y[b][r] in double from the decoded weights, with the bound
    // Σ|w·x| that scales the tolerance of single-precision sums.
    void reference(const float* X, int32_t M, std::vector<double>& y, std::vector<double>& bound) const {
        y.assign(size_t(M) * size_t(N), 0.0);
        bound.assign(y.size(), 0.0);
        for (int32_t b = 0; b < M; ++b)
            for (int32_t r = 0; r < N; ++r) {
                double s = 0, a = 0;
                for (int32_t k = 0; k < K; ++k) {
                    const double p = double(decoded[size_t(r) * size_t(K) + size_t(k)]) * double(X[size_t(b) * size_t(K) + size_t(k)]);
                    s += p;
                    a += std::fabs(p);
                }
                y[size_t(b) * size_t(N) + size_t(r)] = s;
                bound[size_t(b) * size_t(N) + size_t(r)] = a;
            }
    }
};

// Largest error of Y (row b at b·ldy + off) against the reference, as a
// fraction of Σ|w·x| (plus a tiny floor for rows that sum to nothing).
inline double worstRelativeError(const TestMatrix& m, const float* X, int32_t M, const float* Y, int32_t ldy,
                                 int32_t off) {
    std::vector<double> ref, bound;
    m.reference(X, M, ref, bound);
    double worst = 0;
    for (int32_t b = 0; b < M; ++b)
        for (int32_t r = 0; r < m.N; ++r) {
            const size_t i = size_t(b) * size_t(m.N) + size_t(r);
            const double got = Y[size_t(b) * size_t(ldy) + size_t(off) + size_t(r)];
            worst = std::max(worst, std::fabs(got - ref[i]) / (bound[i] + 1e-30));
        }
    return worst;
}

// Single-precision sums of up to a few thousand products stay well inside this.
constexpr double kProductTolerance = 1e-5;

inline uint64_t fnv1a(const void* p, size_t n, uint64_t h = 1469598103934665603ull) {
    const auto* c = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ c[i]) * 1099511628211ull;
    return h;
}

} // namespace vivirov::test
