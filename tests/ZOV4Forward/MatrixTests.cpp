// Weight products take the route their shape and switches call for (GPU,
// fused CPU kernels, a single-precision copy), give the same numbers on
// every route, and the RMS norms give the same bits on and off the pool.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "engine/vm_cabi_v2/kernel_ops.h"
#include "tests/ZOV4Forward/ForwardTestSupport.h"
#include "tests/support/CountingGpuOps.h"
#include "tests/support/ScopedEnv.h"

using namespace vivirov::test;
using vm::zov4::ZOV4Forward;

namespace {

std::vector<float> wave(size_t n, float phase) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = std::sin(0.37f * float(i) + phase) + 0.25f * std::cos(0.011f * float(i));
    return v;
}

// The exact product of a decoded weight with each row of X, in double.
std::vector<double> reference(const GGUFTensor& W, const std::vector<float>& X, int64_t K, int64_t N, int64_t M) {
    const std::vector<float> w = decoded(W);
    std::vector<double> y(static_cast<size_t>(N * M));
    for (int64_t m = 0; m < M; ++m)
        for (int64_t r = 0; r < N; ++r) {
            double s = 0;
            for (int64_t k = 0; k < K; ++k) s += double(w[size_t(r * K + k)]) * double(X[size_t(m * K + k)]);
            y[size_t(m * N + r)] = s;
        }
    return y;
}

void expectClose(const std::vector<float>& got, const std::vector<double>& want, double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << "at " << i;
}

class ZOV4Matrix : public ::testing::Test {
protected:
    void SetUp() override {
        f = cpuForward(sharedDeepSeekV4Model("base").path());
        resetCountingGpu();
        f->gpu = countingGpuOps();
        f->use_gpu = true;
        // "attn_q_b": 256 rows of 64 Q8_0 columns.
        W = f->wl(0, "attn_q_b.weight");
    }
    std::unique_ptr<ZOV4Forward> f;
    const GGUFTensor* W = nullptr;
    const int64_t K = 64, N = 256;
};

} // namespace

TEST_F(ZOV4Matrix, BatchesOfEightRowsGoToTheGpuAndSmallerOnesStayOnTheCpu) {
    struct Case {
        int64_t rows;
        bool useGpu;
        int products;
    };
    for (const Case c : {Case{7, true, 0}, Case{8, true, 1}, Case{9, true, 1}, Case{8, false, 0}, Case{2, true, 0}}) {
        SCOPED_TRACE("M=" + std::to_string(c.rows) + " use_gpu=" + std::to_string(c.useGpu));
        resetCountingGpu();
        f->use_gpu = c.useGpu;
        const std::vector<float> X = wave(size_t(c.rows * K), 0.5f);
        std::vector<float> Y(size_t(c.rows * N), -1.0f);
        f->mm_multi(W, X.data(), Y.data(), K, N, c.rows);
        EXPECT_EQ(countingGpu().products, c.products);
        EXPECT_EQ(countingGpu().begins, c.products);
        EXPECT_EQ(countingGpu().commits, c.products);
        if (c.products) {
            EXPECT_EQ(countingGpu().productRows[0], uint32_t(N));
            EXPECT_EQ(countingGpu().productInputs[0], uint32_t(c.rows));
        }
        // Whatever the route, the rows are the product of W with each input row.
        expectClose(Y, reference(*W, X, K, N, c.rows), 2e-3);
    }
}

TEST_F(ZOV4Matrix, FailedGpuProductsAreRedoneOnTheCpu) {
    const std::vector<float> X = wave(size_t(8 * K), 1.0f);
    const std::vector<double> want = reference(*W, X, K, N, 8);
    for (int fault = 0; fault < 2; ++fault) {
        resetCountingGpu();
        countingGpu().failProducts = fault == 0;
        countingGpu().failCommit = fault == 1;
        std::vector<float> Y(size_t(8 * N), -1.0f);
        f->mm_multi(W, X.data(), Y.data(), K, N, 8);
        EXPECT_EQ(countingGpu().products, 1);
        expectClose(Y, want, 2e-3);
    }
}

TEST_F(ZOV4Matrix, ABatchOpenedElsewhereKeepsTheProductOnTheCpu) {
    // Inside someone else's batch the product would be read back only at
    // their commit, after this call returned.
    countingGpu().foreignBatchOpen = true;
    const std::vector<float> X = wave(size_t(8 * K), 2.0f);
    std::vector<float> Y(static_cast<size_t>(8 * N));
    f->mm_multi(W, X.data(), Y.data(), K, N, 8);
    EXPECT_EQ(countingGpu().products, 0);
    EXPECT_EQ(countingGpu().begins, 0);
    expectClose(Y, reference(*W, X, K, N, 8), 2e-3);
}

TEST_F(ZOV4Matrix, SingleRowProductsDeclineOrRunByTheSwitches) {
    const std::vector<float> x = wave(size_t(K), 0.1f);
    std::vector<float> y(static_cast<size_t>(N));
    struct Case {
        bool useGpu, n1CpuOnly;
        int64_t rows;
        int32_t result;
    };
    for (const Case c : {Case{true, false, 1, 1}, Case{true, true, 1, 0}, Case{true, true, 2, 1}, Case{false, false, 1, 0},
                         Case{false, false, 8, 0}}) {
        SCOPED_TRACE(std::to_string(c.useGpu) + std::to_string(c.n1CpuOnly) + " M=" + std::to_string(c.rows));
        resetCountingGpu();
        f->use_gpu = c.useGpu;
        f->n1_cpu_only = c.n1CpuOnly;
        std::vector<float> B(size_t(K * c.rows), 0.5f), C(static_cast<size_t>(N * c.rows));
        EXPECT_EQ(f->gmm(W->data, W->type, W->nbytes, B.data(), C.data(), K, N, c.rows), c.result);
        EXPECT_EQ(countingGpu().products, c.result);
    }
    // One row prefers the fused CPU kernel even with the GPU allowed.
    resetCountingGpu();
    f->use_gpu = true;
    f->n1_cpu_only = false;
    const uint64_t before = f->mm_count;
    f->mm(W, x.data(), y.data(), K, N);
    EXPECT_EQ(countingGpu().products, 0);
    EXPECT_EQ(f->mm_count, before + 1);
    expectClose(y, reference(*W, x, K, N, 1), 2e-3);
    // VIVIROV_MATRIX_FORCE_N1 (read on every call) sends it to the GPU first.
    ScopedEnv force("VIVIROV_MATRIX_FORCE_N1", "1");
    f->mm(W, x.data(), y.data(), K, N);
    EXPECT_EQ(countingGpu().products, 1);
    EXPECT_EQ(f->mm_count, before + 1);
    expectClose(y, reference(*W, x, K, N, 1), 2e-3);
}

TEST_F(ZOV4Matrix, WeightsRegisterOnceAndARefusalIsRemembered) {
    std::vector<float> B(size_t(K * 8), 0.25f), C(static_cast<size_t>(N * 8));
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "refused" : "registered");
        resetCountingGpu();
        f->dense_buffers.clear();
        countingGpu().refuseRegistration = refuse;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(f->gmm(W->data, W->type, W->nbytes, B.data(), C.data(), K, N, 8), 1);
        EXPECT_EQ(countingGpu().registrations, 1);
        ASSERT_EQ(countingGpu().productUsedBuffer.size(), 3u);
        // A refused weight is still multiplied, from its raw bytes.
        for (bool used : countingGpu().productUsedBuffer) EXPECT_EQ(used, !refuse);
    }
    // Types without a GPU product decline before any call.
    resetCountingGpu();
    const GGUFTensor* norm = f->wl(0, "attn_norm.weight"); // F32
    EXPECT_EQ(f->gmm(norm->data, norm->type, norm->nbytes, B.data(), C.data(), 256, 1, 8), 0);
    EXPECT_EQ(countingGpu().products, 0);
}

TEST_F(ZOV4Matrix, ASinglePrecisionCopyTakesPrecedenceOnTheCpu) {
    // A copy holding twice the weight shows which bytes the product read.
    std::vector<float> twice = decoded(*W);
    for (float& v : twice) v *= 2.0f;
    f->f32_dense[W->data] = {twice.data(), N, K, N * K};
    f->use_gpu = false;
    const std::vector<float> X = wave(size_t(3 * K), 0.7f);
    std::vector<double> want = reference(*W, X, K, N, 3);
    for (double& v : want) v *= 2.0;
    std::vector<float> y(static_cast<size_t>(N)), Y(static_cast<size_t>(3 * N));
    f->mm(W, X.data(), y.data(), K, N);
    expectClose(y, std::vector<double>(want.begin(), want.begin() + N), 4e-3);
    f->mm_multi(W, X.data(), Y.data(), K, N, 3);
    expectClose(Y, want, 4e-3);
}

TEST_F(ZOV4Matrix, RowNormsAgreeBitForBitOnAndOffThePool) {
    // 3 rows of 4096 and 100 rows of 255 stay on the calling thread; 4 rows
    // of 256 and 64 rows of 1024 use the pool. Each must equal the same rows
    // normalised one at a time.
    const std::vector<float> wv = wave(4096, 3.0f);
    struct Shape {
        int64_t rows, n;
    };
    for (const Shape s : {Shape{3, 4096}, Shape{100, 255}, Shape{4, 256}, Shape{64, 1024}}) {
        SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.n));
        GGUFTensor w;
        w.type = 0;
        w.dims = {uint64_t(s.n)};
        w.data = reinterpret_cast<const uint8_t*>(wv.data());
        w.nbytes = uint64_t(s.n) * 4;
        const std::vector<float> X = wave(size_t(s.rows * s.n), 0.3f);
        std::vector<float> all(X.size()), one(X.size()), single(static_cast<size_t>(s.n));
        f->rmsnorm_rows(X.data(), &w, all.data(), s.n, s.rows);
        for (int64_t r = 0; r < s.rows; ++r) f->rmsnorm_rows(X.data() + r * s.n, &w, one.data() + r * s.n, s.n, 1);
        EXPECT_EQ(std::memcmp(all.data(), one.data(), all.size() * 4), 0);
        // The single-row norm (double sum, epsilon added first) agrees closely.
        f->rmsnorm(X.data(), &w, single.data(), s.n);
        for (int64_t i = 0; i < s.n; ++i) ASSERT_NEAR(single[size_t(i)], all[size_t(i)], 1e-5f * (1 + std::fabs(all[size_t(i)])));
        // and both match the definition.
        double ss = 0;
        for (int64_t i = 0; i < s.n; ++i) ss += double(X[size_t(i)]) * X[size_t(i)];
        const double scale = 1.0 / std::sqrt(ss / double(s.n) + double(f->rms_eps));
        for (int64_t i = 0; i < s.n; ++i) ASSERT_NEAR(all[size_t(i)], X[size_t(i)] * scale * wv[size_t(i)], 1e-5);
    }
}

TEST_F(ZOV4Matrix, ThreadRangesSplitTheRowsEvenly) {
    struct Range {
        int64_t begin, end;
        bool onCaller;
        bool operator<(const Range& o) const { return begin < o.begin; }
    };
    auto ranges = [&](int threads, int64_t N) {
        f->n_threads = threads;
        std::mutex mu;
        std::set<Range> seen;
        const auto caller = std::this_thread::get_id();
        f->run_threads(N, [&](int64_t b, int64_t e) {
            std::lock_guard lock(mu);
            seen.insert({b, e, std::this_thread::get_id() == caller});
        });
        return std::vector<Range>(seen.begin(), seen.end());
    };
    const auto four = ranges(4, 10);
    ASSERT_EQ(four.size(), 4u);
    const int64_t bounds[][2] = {{0, 3}, {3, 6}, {6, 9}, {9, 10}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(four[i].begin, bounds[i][0]);
        EXPECT_EQ(four[i].end, bounds[i][1]);
        EXPECT_FALSE(four[i].onCaller);
    }
    for (auto [threads, N] : {std::pair{4, int64_t(1)}, std::pair{1, int64_t(10)}}) {
        const auto r = ranges(threads, N);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].end, N);
        EXPECT_TRUE(r[0].onCaller);
    }
}
