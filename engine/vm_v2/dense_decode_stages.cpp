#include "vm_v2/dense_decode_stages.h"

#include <algorithm>
#include <atomic>
#include <climits>

#include "vm_cabi/gguf_file.h"
#include "vm_cabi_v2/det_pool.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_v2/dense_math.h"

namespace vivirov::dense {

namespace {

// Weights per claim: runs of rows long enough for a participant to stream
// them at full speed (a claim starts cold), few enough claims that handing
// them out costs nothing, but at least two claims per participant. A job's
// last rows go a few at a time, so that its participants finish together.
constexpr uint64_t kClaimBytes = 128u << 10;
constexpr int32_t kClaimsPerParticipant = 2;
constexpr int32_t kTailRows = 4;
constexpr int32_t kTailClaimsPerParticipant = 2;
constexpr size_t kMaxProducts = 4;

int32_t rows_of(const GGUFTensor* w) { return w->dims.size() > 1 ? int32_t(w->dims[1]) : 1; }
int32_t cols_of(const GGUFTensor* w) { return int32_t(w->dims[0]); }

uint64_t row_bytes(const GGUFTensor* w) {
    uint64_t per_block = 0, block_bytes = 0;
    gguf::block_geometry(w->type, per_block, block_bytes);
    return uint64_t(cols_of(w)) / per_block * block_bytes;
}

// Rows [a, b) of one product, by the single-thread gemv kernel.
void rows(const GGUFTensor* w, uint64_t rb, const float* x, float* y, int32_t a, int32_t b) {
    vm::apex::fused_q_gemv(w->type, w->data + uint64_t(a) * rb, b - a, cols_of(w), x, y + a);
}

// A job's claims in order: first the pieces beside its products (one claim
// each), then runs of rows, a span of equal runs at a time.
class Plan {
public:
    // A job of `bytes` weights beside `pieces` pieces.
    Plan(int32_t pieces, uint64_t bytes)
        : participants_(vm::apex::det_pool_global()->participants()),
          claim_bytes_(std::min(kClaimBytes, bytes / uint64_t(kClaimsPerParticipant * participants_))),
          total_(pieces) {}

    // Rows [0, n) of product p, rows of `bytes` weights each (over every
    // matrix a claim reads); `last` ends the job, in short claims.
    void add(int32_t p, int32_t n, uint64_t bytes, bool last) {
        const int32_t tail =
            last && participants_ > 1 ? std::min(n, kTailRows * kTailClaimsPerParticipant * participants_) : 0;
        const uint64_t fit = std::max<uint64_t>(claim_bytes_ / std::max<uint64_t>(bytes, 1) / kTailRows * kTailRows, kTailRows);
        span(p, 0, n - tail, int32_t(std::min<uint64_t>(fit, uint64_t(std::max(n, 1)))));
        span(p, n - tail, n, kTailRows);
    }

    int32_t total() const { return total_; }

    // Claim c, past the pieces: its product and rows [a, b). Each participant
    // takes claims in increasing order, so its cursor `at` only moves on.
    void claim(int32_t c, int32_t& at, int32_t& p, int32_t& a, int32_t& b) const {
        while (c >= spans_[at].end) ++at;
        const Span& s = spans_[at];
        p = s.product;
        a = s.first + (c - s.begin) * s.per;
        b = std::min(s.last, a + s.per);
    }

private:
    struct Span {
        int32_t product, first, last, per, begin, end;
    };
    void span(int32_t p, int32_t first, int32_t last, int32_t per) {
        if (last <= first) return;
        const int32_t begin = total_;
        total_ += (last - first + per - 1) / per;
        spans_[n_++] = {p, first, last, per, begin, total_};
    }

    int32_t participants_;
    uint64_t claim_bytes_;
    Span spans_[2 * kMaxProducts];
    int32_t n_ = 0, total_;
};

} // namespace

bool cpu_multiplies(const GGUFTensor* w) {
    if (!w || w->dims.empty() || w->dims[0] == 0 || w->dims[0] > uint64_t(INT32_MAX)) return false;
    if (w->dims.size() > 1 && (w->dims[1] == 0 || w->dims[1] > uint64_t(INT32_MAX))) return false;
    const uint32_t t = w->type;
    const bool served = t == gguf::kGgmlF32 || t == gguf::kGgmlQ5_0 || t == gguf::kGgmlQ8_0 ||
                        t == gguf::kGgmlQ4_K || t == gguf::kGgmlQ6_K;
    uint64_t per_block = 0, block_bytes = 0;
    return served && gguf::block_geometry(t, per_block, block_bytes) && w->dims[0] % per_block == 0;
}

namespace {

void one_job(const Product* p, size_t n, Pieces beside) {
    uint64_t rb[kMaxProducts] = {}, bytes = 0;
    int32_t last = -1;
    for (size_t i = 0; i < n; ++i)
        if (p[i].w) {
            rb[i] = row_bytes(p[i].w);
            bytes += rb[i] * uint64_t(rows_of(p[i].w));
            last = int32_t(i);
        }
    Plan plan(beside.count, bytes);
    for (int32_t i = 0; i <= last; ++i)
        if (p[i].w) plan.add(i, rows_of(p[i].w), rb[i], i == last);
    std::atomic<int32_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        int32_t at = 0;
        for (int32_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < plan.total();) {
            if (c < beside.count) {
                beside.run(beside.ctx, c);
                continue;
            }
            int32_t i, a, b;
            plan.claim(c, at, i, a, b);
            rows(p[i].w, rb[i], p[i].x, p[i].y, a, b);
        }
    });
}

} // namespace

void cpu_products(std::initializer_list<Product> products, Pieces beside) {
    if (products.size() == 0) return cpu_pieces(beside);
    for (size_t i = 0; i < products.size(); i += kMaxProducts, beside = {})
        one_job(products.begin() + i, std::min(kMaxProducts, products.size() - i), beside);
}

void cpu_pieces(Pieces pieces) {
    if (pieces.count < 1) return;
    if (pieces.count == 1) return pieces.run(pieces.ctx, 0);
    one_job(nullptr, 0, pieces);
}

void cpu_gated_ffn(const GGUFTensor* gate_w, const GGUFTensor* up_w, const float* x, float* gate, float* up,
                   float* act, int32_t n_ff) {
    const uint64_t rb_gate = row_bytes(gate_w), rb_up = row_bytes(up_w);
    Plan plan(0, (rb_gate + rb_up) * uint64_t(n_ff));
    plan.add(0, n_ff, rb_gate + rb_up, true);
    std::atomic<int32_t> next{0};
    vm::apex::det_pool_global()->parallel([&](int, int) {
        int32_t at = 0;
        for (int32_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < plan.total();) {
            int32_t i, a, b;
            plan.claim(c, at, i, a, b);
            rows(gate_w, rb_gate, x, gate, a, b);
            rows(up_w, rb_up, x, up, a, b);
            swiglu(gate + a, up + a, b - a, act + a);
        }
    });
}

} // namespace vivirov::dense
