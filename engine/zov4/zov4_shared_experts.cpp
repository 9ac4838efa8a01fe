// The shared experts every row passes through: one gated feed-forward
// network, on the F32 copies when the wall set-up made them.
#include <algorithm>
#include <cmath>

#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_moe_job.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr int kChunkRows = 16;
// The combined expert route holds every routed row's activations at once:
// it is taken for up to fifteen routed experts, or for more while those
// buffers stay small (the rows of a batched decode step); otherwise the
// per-expert route holds one expert's rows at a time.
constexpr size_t kMaxPassProducts = 32;
constexpr uint64_t kMaxPassScratchBytes = 8u << 20;

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
            // Up, gate and down in one job of the pool.
            const GatedFfn net{.type = {u.type, g.type, d.type},
                               .W = {u.data, g.data, d.data},
                               .N = int32_t(F),
                               .K = int32_t(E),
                               .rows = W,
                               .X = xc,
                               .U = up.data(),
                               .G = gate.data(),
                               .A = h.data(),
                               .D = y.data()};
            if (run_gated_ffns(&net, 1, oc)) continue;
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
    if (!tu || !tg || !td || n < 1) return false;
    const int64_t E = n_embd, ff = f.ff, F = ff_shared_();
    const float L = act_clamp_of_(il);

    // Rows of expert i start at row first[i] of the gathered inputs; the
    // shared expert's rows (all n) come after the last expert's.
    std::vector<int64_t> first(k + 1, 0);
    for (size_t i = 0; i < k; ++i) first[i + 1] = first[i] + int64_t(buckets[size_t(experts[i])].size());
    const int64_t routed = first[k];
    const uint64_t scratch = uint64_t(3 * (routed * ff + n * F) + (2 * routed + n) * E) * sizeof(float);
    if (2 * (k + 1) > kMaxPassProducts && scratch > kMaxPassScratchBytes) return false;
    thread_local std::vector<float> X, up, gate, a, d, weight;
    thread_local std::vector<int32_t> out_row;
    X.resize(size_t(routed * E));
    up.resize(size_t(routed * ff + n * F));
    gate.resize(up.size());
    a.resize(up.size());
    d.resize(size_t((routed + n) * E));
    weight.resize(size_t(routed));
    out_row.resize(size_t(routed));
    for (size_t i = 0; i < k; ++i) {
        const MoeBucket& b = buckets[size_t(experts[i])];
        for (size_t r = 0; r < b.size(); ++r) {
            const int64_t at = first[i] + int64_t(r);
            std::copy(x + int64_t(b[r].first) * E, x + int64_t(b[r].first + 1) * E, X.begin() + at * E);
            weight[size_t(at)] = b[r].second;
            out_row[size_t(at)] = b[r].first;
        }
    }

    // Routed experts in ascending order, then the shared expert: the order
    // their outputs are added in.
    const Operand u = operand_of(f32_dense, tu), g = operand_of(f32_dense, tg), dn = operand_of(f32_dense, td);
    thread_local std::vector<GatedFfn> nets;
    nets.assign(k + 1, GatedFfn{});
    int count = 0;
    for (size_t i = 0; i < k; ++i) {
        const int32_t rows = int32_t(first[i + 1] - first[i]);
        if (rows < 1) continue;
        const int e = experts[i];
        const int64_t at = first[i];
        nets[count++] = {.type = {f.t[0]->type, f.t[1]->type, f.t[2]->type},
                         .W = {f.slice(0, e), f.slice(1, e), f.slice(2, e)},
                         .N = int32_t(ff),
                         .K = int32_t(E),
                         .rows = rows,
                         .X = X.data() + at * E,
                         .U = up.data() + at * ff,
                         .G = gate.data() + at * ff,
                         .A = a.data() + at * ff,
                         .D = d.data() + at * E,
                         .weight = weight.data() + at,
                         .clamp = L,
                         .out_rows = out_row.data() + at};
    }
    nets[count++] = {.type = {u.type, g.type, dn.type},
                     .W = {u.data, g.data, dn.data},
                     .N = int32_t(F),
                     .K = int32_t(E),
                     .rows = int32_t(n),
                     .X = x,
                     .U = up.data() + routed * ff,
                     .G = gate.data() + routed * ff,
                     .A = a.data() + routed * ff,
                     .D = d.data() + routed * E};
    return run_gated_ffns(nets.data(), count, out);
}

} // namespace vm::zov4
