#include "GpuTestSupport.h"

#include "engine/vm_cabi/half.h"

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

void put_half(uint8_t* p, float v) {
    uint16_t h = vm::float_to_half(v);
    std::memcpy(p, &h, 2);
}
float get_half(const uint8_t* p) {
    uint16_t h;
    std::memcpy(&h, p, 2);
    return vm::half_to_float(h);
}

void q4k_scale_min(const uint8_t* q, int j, int& sc, int& m) {
    if (j < 4) {
        sc = q[j] & 63;
        m = q[j + 4] & 63;
    } else {
        sc = (q[j + 4] & 0xF) | ((q[j - 4] >> 6) << 4);
        m = (q[j + 4] >> 4) | ((q[j] >> 6) << 4);
    }
}

void dequant_block(uint32_t type, const uint8_t* b, float* y) {
    switch (type) {
    case kQ8_0: {
        float d = get_half(b);
        for (int j = 0; j < 32; ++j) y[j] = d * float(int8_t(b[2 + j]));
        break;
    }
    case kQ5_0: {
        float d = get_half(b);
        uint32_t qh;
        std::memcpy(&qh, b + 2, 4);
        for (int j = 0; j < 16; ++j) {
            int x0 = (b[6 + j] & 0xF) | (((qh >> j) & 1) << 4);
            int x1 = (b[6 + j] >> 4) | (((qh >> (j + 16)) & 1) << 4);
            y[j] = float(x0 - 16) * d;
            y[j + 16] = float(x1 - 16) * d;
        }
        break;
    }
    case kQ4_K: {
        float d = get_half(b), dmin = get_half(b + 2);
        const uint8_t* sc = b + 4;
        const uint8_t* q = b + 16;
        for (int c = 0; c < 4; ++c) {
            int s1, m1, s2, m2;
            q4k_scale_min(sc, 2 * c, s1, m1);
            q4k_scale_min(sc, 2 * c + 1, s2, m2);
            for (int l = 0; l < 32; ++l) {
                y[64 * c + l] = d * float(s1) * float(q[32 * c + l] & 0xF) - dmin * float(m1);
                y[64 * c + 32 + l] = d * float(s2) * float(q[32 * c + l] >> 4) - dmin * float(m2);
            }
        }
        break;
    }
    case kQ6_K: {
        const uint8_t* ql = b;
        const uint8_t* qh = b + 128;
        const auto* sc = reinterpret_cast<const int8_t*>(b + 192);
        float d = get_half(b + 208);
        for (int h = 0; h < 2; ++h) {
            for (int l = 0; l < 32; ++l) {
                int is = l / 16;
                int q1 = ((ql[64 * h + l] & 0xF) | (((qh[32 * h + l] >> 0) & 3) << 4)) - 32;
                int q2 = ((ql[64 * h + l + 32] & 0xF) | (((qh[32 * h + l] >> 2) & 3) << 4)) - 32;
                int q3 = ((ql[64 * h + l] >> 4) | (((qh[32 * h + l] >> 4) & 3) << 4)) - 32;
                int q4 = ((ql[64 * h + l + 32] >> 4) | (((qh[32 * h + l] >> 6) & 3) << 4)) - 32;
                y[128 * h + l] = d * float(sc[8 * h + is]) * float(q1);
                y[128 * h + l + 32] = d * float(sc[8 * h + is + 2]) * float(q2);
                y[128 * h + l + 64] = d * float(sc[8 * h + is + 4]) * float(q3);
                y[128 * h + l + 96] = d * float(sc[8 * h + is + 6]) * float(q4);
            }
        }
        break;
    }
    }
}

} // namespace

uint32_t block_weights(uint32_t type) { return type == kQ4_K || type == kQ6_K ? 256 : 32; }

uint32_t block_bytes(uint32_t type) {
    switch (type) {
    case kQ5_0: return 22;
    case kQ8_0: return 34;
    case kQ4_K: return 144;
    default: return 210;
    }
}

std::vector<uint8_t> random_rows(uint32_t type, uint32_t M, uint32_t K, std::mt19937& rng) {
    std::vector<uint8_t> out(rows_bytes(type, M, K));
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_real_distribution<float> scale(0.001f, 0.05f);
    for (auto& v : out) v = uint8_t(byte(rng));
    const uint32_t bb = block_bytes(type);
    for (size_t off = 0; off < out.size(); off += bb) {
        uint8_t* b = out.data() + off;
        switch (type) {
        case kQ8_0:
        case kQ5_0: put_half(b, scale(rng)); break;
        case kQ4_K:
            put_half(b, scale(rng));
            put_half(b + 2, scale(rng));
            break;
        case kQ6_K: put_half(b + 208, scale(rng)); break;
        }
    }
    return out;
}

std::vector<float> dequantise(uint32_t type, const uint8_t* rows, uint32_t M, uint32_t K) {
    std::vector<float> out(size_t(M) * K);
    const uint32_t qk = block_weights(type), bb = block_bytes(type);
    for (size_t blk = 0; blk < size_t(M) * K / qk; ++blk) dequant_block(type, rows + blk * bb, out.data() + blk * qk);
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
