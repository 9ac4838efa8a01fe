// The dense decode step's layer operations and the TEAL threshold, each
// against a plain reference.
#include "DeviceVec.h"
#include "GpuTestSupport.h"
#include "vm_gpu.h"

#include <cmath>
#include <limits>

using namespace gputest;

namespace {

// Encodes `encode` into a fresh batch and commits it.
template <typename F> void run_batch(F&& encode) {
    vmb_arena_reset();
    vmb_command_buffer_begin();
    ASSERT_NE(vmb_command_buffer_handle(), nullptr);
    encode();
    ASSERT_TRUE(vmb_command_buffer_commit_and_wait());
}

void expect_rel(const std::vector<float>& got, const std::vector<double>& want, double rel, const char* what) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], rel * std::max(1.0, std::fabs(want[i]))) << what << " element " << i;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

} // namespace

TEST(GpuDenseKernels, ArgmaxTakesTheLowestIndexOfTheMaximum) {
    REQUIRE_BRIDGE();
    std::vector<float> wide(600, 0.5f);
    wide[77] = wide[513] = 9.0f;
    struct Row {
        std::vector<float> logits;
        uint32_t want;
    } rows[] = {{{1, 5, 5, 2}, 1}, {{3, 3}, 0}, {{kNaN, kNaN, kNaN}, 0}, {{-kInf, -kInf}, 0}, {wide, 77}};
    for (const Row& r : rows) {
        DeviceVec<float> logits(r.logits);
        DeviceVec<uint32_t> out(1, 12345);
        run_batch([&] { vmb_f_argmax(logits.buf(), 0, out.buf(), 0, uint32_t(r.logits.size())); });
        EXPECT_EQ(out[0], r.want) << "n " << r.logits.size();
    }
}

TEST(GpuDenseKernels, TealThreshold) {
    REQUIRE_BRIDGE();
    float x[] = {0.5f, -0.5f, 0.6f, -0.7f, 0.1f};
    uint32_t nnz = 0;
    ASSERT_TRUE(vm_gpu_teal_threshold(x, 5, 0.5f, &nnz));
    const float want[] = {0, 0, 0.6f, -0.7f, 0};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(x[i], want[i]) << i;
    EXPECT_EQ(nnz, 2u);

    std::vector<float> big(1000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = i % 3 == 0 ? 0.0f : float(i);
    ASSERT_TRUE(vm_gpu_teal_threshold(big.data(), 1000, 0.0f, nullptr));
    ASSERT_TRUE(vm_gpu_teal_threshold(big.data(), 1000, 0.0f, &nnz));
    EXPECT_EQ(nnz, 666u) << "epsilon 0 keeps every non-zero value";

    nnz = 7;
    EXPECT_FALSE(vm_gpu_teal_threshold(x, 0, 0.5f, &nnz));
    EXPECT_EQ(nnz, 7u);
}

TEST(GpuDenseKernels, QuantizeInt8) {
    REQUIRE_BRIDGE();
    {
        DeviceVec<float> x(std::vector<float>(10, 0.0f));
        DeviceVec<uint8_t> q(16, 0x55);
        DeviceVec<float> sx(1, 0.0f);
        run_batch([&] { vmb_f_quantize_int8(x.buf(), 0, q.buf(), 0, sx.buf(), 0, 10, 13); });
        EXPECT_EQ(sx[0], 1.0f);
        for (int i = 0; i < 13; ++i) EXPECT_EQ(q[i], 0) << i;
        for (int i = 13; i < 16; ++i) EXPECT_EQ(q[i], 0x55) << "byte past Kpad kept";
    }
    std::mt19937 rng(3);
    std::vector<float> xs = random_floats(300, rng, -3, 3);
    DeviceVec<float> x(xs);
    DeviceVec<int8_t> q(304, 9);
    DeviceVec<float> sx(1);
    run_batch([&] { vmb_f_quantize_int8(x.buf(), 0, q.buf(), 0, sx.buf(), 0, 300, 304); });
    double amax = 0;
    for (float v : xs) amax = std::max(amax, double(std::fabs(v)));
    EXPECT_NEAR(sx[0], amax / 127, 1e-6);
    for (int i = 0; i < 300; ++i) EXPECT_LE(std::abs(q[i] - std::lround(xs[i] / (amax / 127))), 1) << i;
    for (int i = 300; i < 304; ++i) EXPECT_EQ(q[i], 0);
}

TEST(GpuDenseKernels, ElementwiseOperations) {
    REQUIRE_BRIDGE();
    std::mt19937 rng(4);
    const uint32_t n = 333;
    auto xs = random_floats(n, rng, -4, 4), ws = random_floats(n, rng), ys = random_floats(n, rng);
    DeviceVec<float> x(xs), w(ws), y(ys), norm(n), silu(n), biased(n), unbiased(n);
    run_batch([&] {
        vmb_f_rmsnorm(x.buf(), 0, w.buf(), 0, norm.buf(), 0, n, 1e-6f);
        vmb_f_silu(x.buf(), 0, y.buf(), 0, silu.buf(), 0, n);
        vmb_f_addbias(x.buf(), 0, y.buf(), 0, 1, biased.buf(), 0, n);
        vmb_f_addbias(x.buf(), 0, nullptr, 0, 1, unbiased.buf(), 0, n);
        vmb_barrier();
        vmb_f_residual(x.buf(), 0, y.buf(), 0, n);
    });
    double ss = 0;
    for (float v : xs) ss += double(v) * v;
    const double scale = 1.0 / std::sqrt(ss / n + 1e-6);
    std::vector<double> want_norm(n), want_silu(n), want_sum(n);
    for (uint32_t i = 0; i < n; ++i) {
        want_norm[i] = xs[i] * scale * ws[i];
        want_silu[i] = xs[i] / (1 + std::exp(-double(xs[i]))) * ys[i];
        want_sum[i] = double(xs[i]) + ys[i];
    }
    expect_rel(norm.values(), want_norm, 1e-4, "rmsnorm");
    expect_rel(silu.values(), want_silu, 1e-4, "silu");
    expect_rel(biased.values(), want_sum, 1e-6, "addbias");
    expect_rel(unbiased.values(), std::vector<double>(xs.begin(), xs.end()), 0, "addbias without a bias");
    expect_rel(x.values(), want_sum, 1e-6, "residual in place");
}

TEST(GpuDenseKernels, NothingIsEncodedWithoutABatch) {
    REQUIRE_BRIDGE();
    DeviceVec<float> x(std::vector<float>{1, 2, 3}), w(std::vector<float>{1, 1, 1}), out(3, 7.0f);
    vmb_f_rmsnorm(x.buf(), 0, w.buf(), 0, out.buf(), 0, 3, 1e-6f);
    EXPECT_EQ(out[0], 7.0f);
    run_batch([&] { vmb_f_rmsnorm(x.buf(), 0, w.buf(), 0, out.buf(), 0, 3, 1e-6f); });
    EXPECT_NE(out[0], 7.0f);
}

// Split-half rotation, the bias added first; accurate far into the context
// because the angle is reduced before sin and cos.
TEST(GpuDenseKernels, RopeMatchesTheReferenceToLongPositions) {
    REQUIRE_BRIDGE();
    const uint32_t heads = 3, hd = 64;
    const float theta = 1000000.0f;
    std::mt19937 rng(5);
    auto xs = random_floats(heads * hd, rng), bs = random_floats(heads * hd, rng);
    for (uint32_t pos : {0u, 1u, 17u, 1000u, 4096u}) {
        for (bool with_bias : {false, true}) {
            DeviceVec<float> x(xs), b(bs), out(heads * hd);
            run_batch([&] {
                vmb_f_rope(x.buf(), 0, with_bias ? b.buf() : nullptr, 0, 1, out.buf(), 0, heads, hd, pos, theta);
                vmb_barrier();
                vmb_f_rope(x.buf(), 0, with_bias ? b.buf() : nullptr, 0, 1, x.buf(), 0, heads, hd, pos, theta);
            });
            std::vector<double> want(heads * hd);
            for (uint32_t h = 0; h < heads; ++h)
                for (uint32_t i = 0; i < hd / 2; ++i) {
                    const uint32_t base = h * hd;
                    double x0 = xs[base + i], x1 = xs[base + i + hd / 2];
                    if (with_bias) {
                        x0 += bs[base + i];
                        x1 += bs[base + i + hd / 2];
                    }
                    const double angle = pos * std::pow(double(theta), -2.0 * i / hd);
                    want[base + i] = x0 * std::cos(angle) - x1 * std::sin(angle);
                    want[base + i + hd / 2] = x0 * std::sin(angle) + x1 * std::cos(angle);
                }
            SCOPED_TRACE("pos " + std::to_string(pos) + (with_bias ? " with bias" : ""));
            expect_rel(out.values(), want, 1e-3, "rope");
            expect_rel(x.values(), want, 1e-3, "rope in place");
        }
    }
}

TEST(GpuDenseKernels, GroupedQueryAttention) {
    REQUIRE_BRIDGE();
    const uint32_t heads = 4, kv_heads = 2, hd = 16, cnt = 5, kv_dim = kv_heads * hd;
    std::mt19937 rng(6);
    auto qs = random_floats(heads * hd, rng, -2, 2), ks = random_floats(cnt * kv_dim, rng, -2, 2),
         vs = random_floats(cnt * kv_dim, rng);
    DeviceVec<float> q(qs), k(ks), v(vs), out(heads * hd, 7.0f), empty(heads * hd, 7.0f), wide(heads * 130, 7.0f);
    run_batch([&] {
        vmb_f_attention(q.buf(), 0, k.buf(), 0, v.buf(), 0, out.buf(), 0, cnt, hd, kv_dim, 2, heads);
        vmb_f_attention(q.buf(), 0, k.buf(), 0, v.buf(), 0, empty.buf(), 0, 0, hd, kv_dim, 2, heads);
        vmb_f_attention(wide.buf(), 0, wide.buf(), 0, wide.buf(), 0, wide.buf(), 0, 1, 130, 130, 1, 1);
    });
    std::vector<double> want(heads * hd);
    for (uint32_t h = 0; h < heads; ++h) {
        const uint32_t kvh = h / 2;
        std::vector<double> s(cnt);
        double mx = -1e300, sum = 0;
        for (uint32_t t = 0; t < cnt; ++t) {
            double d = 0;
            for (uint32_t i = 0; i < hd; ++i) d += double(qs[h * hd + i]) * ks[t * kv_dim + kvh * hd + i];
            s[t] = d / std::sqrt(double(hd));
            mx = std::max(mx, s[t]);
        }
        for (double& x : s) sum += (x = std::exp(x - mx));
        for (uint32_t i = 0; i < hd; ++i) {
            double acc = 0;
            for (uint32_t t = 0; t < cnt; ++t) acc += s[t] / sum * vs[t * kv_dim + kvh * hd + i];
            want[h * hd + i] = acc;
        }
    }
    expect_rel(out.values(), want, 1e-4, "attention");
    expect_rel(empty.values(), std::vector<double>(heads * hd, 0.0), 0, "cnt 0 writes zeros");
    EXPECT_EQ(wide[0], 7.0f) << "head_dim above 128 is refused";
}

TEST(GpuDenseKernels, BillmSumsAreExact) {
    REQUIRE_BRIDGE();
    const uint32_t M = 5, in_pad = 24, n_sal = 4;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255), code(-127, 127);
    std::vector<uint8_t> b1(M * in_pad / 8), b2(M * 1);
    std::vector<int8_t> xq(in_pad);
    for (auto& v : b1) v = uint8_t(byte(rng));
    for (auto& v : b2) v = uint8_t(byte(rng));
    for (auto& v : xq) v = int8_t(code(rng));
    const std::vector<uint32_t> sal = {3, in_pad, 17, 0}; // in_pad is skipped
    auto alpha = random_floats(M, rng), beta = random_floats(M, rng);
    DeviceVec<uint8_t> d_b1(b1), d_b2(b2);
    DeviceVec<int8_t> d_xq(xq);
    DeviceVec<float> sx(std::vector<float>{0.25f}), d_alpha(alpha), d_beta(beta), out(M);
    DeviceVec<uint32_t> d_sal(sal);
    DeviceVec<int32_t> acc1(M), acc2(M);
    run_batch([&] {
        vmb_f_billm(d_b1.buf(), 0, d_xq.buf(), 0, sx.buf(), 0, d_alpha.buf(), 0, d_beta.buf(), 0, d_sal.buf(), 0,
                    d_b2.buf(), 0, out.buf(), 0, acc1.buf(), 0, acc2.buf(), 0, M, in_pad, n_sal);
    });
    for (uint32_t m = 0; m < M; ++m) {
        int32_t a1 = 0, a2 = 0;
        for (uint32_t j = 0; j < in_pad; ++j) a1 += (b1[m * 3 + j / 8] >> (j % 8) & 1) ? xq[j] : -xq[j];
        for (uint32_t j = 0; j < n_sal; ++j)
            if (sal[j] < in_pad) a2 += (b2[m] >> j & 1) ? xq[sal[j]] : -xq[sal[j]];
        EXPECT_EQ(acc1[m], a1) << m;
        EXPECT_EQ(acc2[m], a2) << m;
        EXPECT_NEAR(out[m], 0.25 * (alpha[m] * a1 + beta[m] * a2), 1e-4 * (1 + std::fabs(out[m])));
    }
}
