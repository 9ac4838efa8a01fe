// The shared experts every row passes through: one gated feed-forward
// network, on the F32 copies when the wall set-up made them.
#include <algorithm>
#include <cmath>

#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr int kChunkRows = 16;
// Products one pass of the combined expert route takes: up and gate of up to
// fifteen routed experts and the shared expert.
constexpr size_t kMaxPassProducts = 32;

struct Operand {
    uint32_t type = 0;
    const uint8_t* data = nullptr;
};

} // namespace

// The tensor's F32 copy (type 0) when one is registered, else its own bytes.
static Operand operand_of(const std::unordered_map<const void*, ZOV4Forward::F32DenseEntry>& f32,
                          const GGUFTensor* t) {
    if (auto it = f32.find(t->data); it != f32.end() && it->second.f32)
        return {0, reinterpret_cast<const uint8_t*>(it->second.f32)};
    return {t->type, t->data};
}

int64_t ZOV4Forward::ff_shared_() const { return int64_t(n_ff_exp) * std::max(1, expert_shared_count); }

void ZOV4Forward::shared_expert(int il, const float* x, float* out) {
    const GGUFTensor* tu = wl_opt(il, "ffn_up_shexp.weight");
    const GGUFTensor* tg = wl_opt(il, "ffn_gate_shexp.weight");
    const GGUFTensor* td = wl_opt(il, "ffn_down_shexp.weight");
    if (!tu || !tg || !td) return;
    const int64_t E = n_embd, F = ff_shared_();
    const Operand u = operand_of(f32_dense, tu), g = operand_of(f32_dense, tg), d = operand_of(f32_dense, td);
    std::vector<float> up(static_cast<size_t>(F)), gate(static_cast<size_t>(F)), h(static_cast<size_t>(F)), y(static_cast<size_t>(E));
    const RowProduct up_gate[2] = {{u.type, u.data, int32_t(F), int32_t(E), x, up.data(), 0},
                                   {g.type, g.data, int32_t(F), int32_t(E), x, gate.data(), 0}};
    if (row_products(up_gate, 2, 1)) {
        for (int64_t i = 0; i < F; ++i) h[size_t(i)] = up[size_t(i)] * silu(gate[size_t(i)]);
        if (row_product({d.type, d.data, int32_t(E), int32_t(F), h.data(), y.data(), 0}, 1)) {
            for (int64_t k = 0; k < E; ++k) out[k] += y[size_t(k)];
            return;
        }
    }
    // A type no fused kernel takes: dequantise and use plain F32 products.
    std::vector<float> wu(static_cast<size_t>(F * E)), wg(static_cast<size_t>(F * E)), wd(static_cast<size_t>(E * F));
    if (!vm::dequant_tensor(tu->type, tu->data, wu.data(), uint64_t(F * E)) ||
        !vm::dequant_tensor(tg->type, tg->data, wg.data(), uint64_t(F * E)) ||
        !vm::dequant_tensor(td->type, td->data, wd.data(), uint64_t(E * F)))
        return;
    for (int64_t i = 0; i < F; ++i) {
        float su = 0.0f, sg = 0.0f;
        for (int64_t j = 0; j < E; ++j) {
            su = std::fma(wu[size_t(i * E + j)], x[j], su);
            sg = std::fma(wg[size_t(i * E + j)], x[j], sg);
        }
        h[size_t(i)] = su * silu(sg);
    }
    for (int64_t k = 0; k < E; ++k) {
        float s = 0.0f;
        for (int64_t j = 0; j < F; ++j) s = std::fma(wd[size_t(k * F + j)], h[size_t(j)], s);
        out[k] += s;
    }
}

void ZOV4Forward::shared_expert_batch(int il, const float* x, float* out, int64_t n) {
    const GGUFTensor* tu = wl_opt(il, "ffn_up_shexp.weight");
    const GGUFTensor* tg = wl_opt(il, "ffn_gate_shexp.weight");
    const GGUFTensor* td = wl_opt(il, "ffn_down_shexp.weight");
    if (!tu || !tg || !td || n < 1) return;
    if (n == 1) return shared_expert(il, x, out);
    const int64_t E = n_embd, F = ff_shared_();
    const Operand u = operand_of(f32_dense, tu), g = operand_of(f32_dense, tg), d = operand_of(f32_dense, td);
    std::vector<float> up(static_cast<size_t>(kChunkRows * F)), gate(static_cast<size_t>(kChunkRows * F)), h(static_cast<size_t>(kChunkRows * F)),
        y(size_t(kChunkRows * E));
    for (int64_t r0 = 0; r0 < n; r0 += kChunkRows) {
        const int32_t W = int32_t(std::min<int64_t>(kChunkRows, n - r0));
        const float* xc = x + r0 * E;
        float* oc = out + r0 * E;
        bool ok = u.data && g.data && E > 0 && F > 0;
        if (ok) {
            // Up and gate in one pass over both weights for all W rows.
            const RowProduct up_gate[2] = {{u.type, u.data, int32_t(F), int32_t(E), xc, up.data(), 0},
                                           {g.type, g.data, int32_t(F), int32_t(E), xc, gate.data(), 0}};
            ok = row_products(up_gate, 2, W);
        }
        if (!ok) {
            for (int32_t r = 0; r < W; ++r) shared_expert(il, xc + r * E, oc + r * E);
            continue;
        }
        for (int64_t i = 0; i < int64_t(W) * F; ++i) h[size_t(i)] = up[size_t(i)] * silu(gate[size_t(i)]);
        if (row_product({d.type, d.data, int32_t(E), int32_t(F), h.data(), y.data(), 0}, W)) {
            for (int64_t i = 0; i < int64_t(W) * E; ++i) oc[i] += y[size_t(i)];
            continue;
        }
        for (int32_t r = 0; r < W; ++r) {
            if (vm::apex::fused_q_gemv_det(td->type, td->data, int32_t(E), int32_t(F), h.data() + r * F, y.data(), 64))
                for (int64_t k = 0; k < E; ++k) oc[r * E + k] += y[size_t(k)];
            else
                shared_expert(il, xc + r * E, oc + r * E);
        }
    }
}

bool ZOV4Forward::experts_cpu_with_shared_(int il, const FusedExperts& f, const std::vector<int32_t>& experts,
                                           const std::vector<MoeBucket>& buckets, const float* x, float* out,
                                           int64_t n) {
    const GGUFTensor* tu = wl_opt(il, "ffn_up_shexp.weight");
    const GGUFTensor* tg = wl_opt(il, "ffn_gate_shexp.weight");
    const GGUFTensor* td = wl_opt(il, "ffn_down_shexp.weight");
    const size_t k = experts.size();
    if (!tu || !tg || !td || n < 1 || 2 * (k + 1) > kMaxPassProducts) return false;
    const int64_t E = n_embd, ff = f.ff, F = ff_shared_();
    const float L = act_clamp_of_(il);

    // Rows of expert i start at row first[i] of the gathered inputs; the
    // shared expert's rows (all n) come after the last expert's.
    std::vector<int64_t> first(k + 1, 0);
    for (size_t i = 0; i < k; ++i) first[i + 1] = first[i] + int64_t(buckets[size_t(experts[i])].size());
    const int64_t routed = first[k];
    thread_local std::vector<float> X, up, gate, a, d;
    X.resize(size_t(routed * E));
    up.resize(size_t(routed * ff + n * F));
    gate.resize(up.size());
    a.resize(up.size());
    d.resize(size_t((routed + n) * E));
    for (size_t i = 0; i < k; ++i) {
        const MoeBucket& b = buckets[size_t(experts[i])];
        for (size_t r = 0; r < b.size(); ++r)
            std::copy(x + int64_t(b[r].first) * E, x + int64_t(b[r].first + 1) * E, X.begin() + (first[i] + int64_t(r)) * E);
    }

    const Operand u = operand_of(f32_dense, tu), g = operand_of(f32_dense, tg), dn = operand_of(f32_dense, td);
    float* shared_up = up.data() + routed * ff;
    float* shared_gate = gate.data() + routed * ff;
    float* shared_a = a.data() + routed * ff;
    float* shared_d = d.data() + routed * E;
    RowProduct pass[kMaxPassProducts];
    size_t count = 0;
    for (size_t i = 0; i < k; ++i) {
        const int32_t rows = int32_t(first[i + 1] - first[i]);
        if (rows < 1) continue;
        const int e = experts[i];
        const float* xi = X.data() + first[i] * E;
        pass[count++] = {f.t[0]->type, f.slice(0, e), int32_t(ff), int32_t(E), xi, up.data() + first[i] * ff, 0, rows};
        pass[count++] = {f.t[1]->type, f.slice(1, e), int32_t(ff), int32_t(E), xi, gate.data() + first[i] * ff, 0, rows};
    }
    pass[count++] = {u.type, u.data, int32_t(F), int32_t(E), x, shared_up, 0, int32_t(n)};
    pass[count++] = {g.type, g.data, int32_t(F), int32_t(E), x, shared_gate, 0, int32_t(n)};
    if (!row_products(pass, int(count), 1)) return false;

    for (size_t i = 0; i < k; ++i) {
        const MoeBucket& b = buckets[size_t(experts[i])];
        for (size_t r = 0; r < b.size(); ++r)
            for (int64_t j = (first[i] + int64_t(r)) * ff, end = j + ff; j < end; ++j)
                a[size_t(j)] = expert_activation(up[size_t(j)], gate[size_t(j)], b[r].second, L);
    }
    for (int64_t j = 0; j < n * F; ++j) shared_a[j] = shared_up[j] * silu(shared_gate[j]);

    count = 0;
    for (size_t i = 0; i < k; ++i) {
        const int32_t rows = int32_t(first[i + 1] - first[i]);
        if (rows < 1) continue;
        pass[count++] = {f.t[2]->type, f.slice(2, experts[i]), int32_t(E), int32_t(ff), a.data() + first[i] * ff,
                         d.data() + first[i] * E, 0, rows};
    }
    pass[count++] = {dn.type, dn.data, int32_t(E), int32_t(F), shared_a, shared_d, 0, int32_t(n)};
    if (!row_products(pass, int(count), 1)) return false;

    // Routed experts in ascending order, then the shared expert.
    for (size_t i = 0; i < k; ++i) {
        const MoeBucket& b = buckets[size_t(experts[i])];
        for (size_t r = 0; r < b.size(); ++r) {
            float* o = out + int64_t(b[r].first) * E;
            const float* di = d.data() + (first[i] + int64_t(r)) * E;
            for (int64_t j = 0; j < E; ++j) o[j] += di[j];
        }
    }
    for (int64_t j = 0; j < n * E; ++j) out[j] += shared_d[j];
    return true;
}

} // namespace vm::zov4
