// The mixture-of-experts block: routing of every row, then the routed
// experts on one of three paths (om2 packs, GPU products on ring slices, or
// the CPU), then the shared experts.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "vm_cabi_v2/dequant.h"
#include "vm_gpu.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr float kMinWeightSum = 6.103515625e-05f; // 2^-14
constexpr uint64_t kOm2RoutedBytes = 10695475;    // 10.2 MiB
// Router weight bytes (times rows) multiplied on the calling thread.
constexpr uint64_t kRouterInlineBytes = 256 * 1024;

float routing_score(float s) {
    const float softplus = std::max(s, 0.0f) + std::log1p(std::exp(-std::fabs(s)));
    return std::sqrt(softplus);
}

bool gpu_expert_type(uint32_t t) { return t == 8 || t == 12 || t == 14; }

// Read once per process, the first time a forced expert meets a model
// without fused experts.
bool om2_force() {
    static const bool set = [] {
        const char* v = std::getenv("VIVIROV_OM2_FORCE");
        return v && v[0] == '1';
    }();
    return set;
}

} // namespace

FusedExperts ZOV4Forward::fused_experts_(int il) const {
    FusedExperts f;
    f.t[0] = wl_opt(il, "ffn_up_exps.weight");
    f.t[1] = wl_opt(il, "ffn_gate_exps.weight");
    f.t[2] = wl_opt(il, "ffn_down_exps.weight");
    f.ff = n_ff_exp;
    f.n_embd = n_embd;
    return f;
}

void ZOV4Forward::ensure_router_cache_(int il) const {
    if (il < 0 || il >= n_layer) return;
    if (router_caches.size() != size_t(n_layer)) router_caches.assign(size_t(n_layer), RouterCache{});
    RouterCache& c = router_caches[size_t(il)];
    if (c.ready) return;
    const GGUFTensor* router = wl(il, "ffn_gate_inp.weight");
    const GGUFTensor* bias = wl_opt(il, "exp_probs_b.bias");
    if (!bias) bias = model.find("blk." + std::to_string(il) + ".exp_probs_b.bias");
    const int64_t E = n_embd, X = n_expert;
    c.w.assign(size_t(X * E), 0.0f);
    c.bias.assign(size_t(X), 0.0f);
    vm::dequant_tensor(router->type, router->data, c.w.data(), uint64_t(X * E));
    if (bias) vm::dequant_tensor(bias->type, bias->data, c.bias.data(), uint64_t(X));
    c.ready = true;
}

void ZOV4Forward::moe_router_logits_(int il, const float* x, int64_t n, std::vector<float>& logits) {
    ensure_router_cache_(il);
    const RouterCache& c = router_caches[size_t(il)];
    const int64_t E = n_embd, X = n_expert;
    logits.assign(size_t(X * n), 0.0f);
    // The GPU multiplies the dequantised cache: the stored router bytes need
    // not be F32.
    if (use_gpu && !(n == 1 && n1_cpu_only)) {
        std::vector<float> xt(static_cast<size_t>(E * n));
        for (int64_t t = 0; t < n; ++t)
            for (int64_t j = 0; j < E; ++j) xt[size_t(j * n + t)] = x[t * E + j];
        std::vector<float> c_out(static_cast<size_t>(X * n));
        if (vm_gpu_matmul(nullptr, 0, c.w.data(), nullptr, 0, xt.data(), c_out.data(), uint32_t(X),
                          uint32_t(E), uint32_t(n)) == 1) {
            for (int64_t t = 0; t < n; ++t)
                for (int64_t e = 0; e < X; ++e) logits[size_t(t * X + e)] = c_out[size_t(e * n + t)];
            return;
        }
    }
    const RowProduct p{0, reinterpret_cast<const uint8_t*>(c.w.data()), int32_t(X), int32_t(E), x, logits.data(), 0};
    // A small router is cheaper on this thread than a pool hand-off, which
    // would be the call's third.
    if (uint64_t(X * E) * sizeof(float) * uint64_t(n) <= kRouterInlineBytes && row_product_valid(p)) {
        row_product_range(p, 0, int32_t(X), int32_t(n));
        return;
    }
    if (row_product(p, int32_t(n))) return;
    for (int64_t t = 0; t < n; ++t)
        for (int64_t e = 0; e < X; ++e) {
            const float* w = c.w.data() + e * E;
            const float* xr = x + t * E;
            float s = 0.0f;
            for (int64_t j = 0; j < E; ++j) s += w[j] * xr[j];
            logits[size_t(t * X + e)] = s;
        }
}

void ZOV4Forward::moe(int il, const std::vector<int32_t>& tokens, const float* x, float* out, int64_t n) {
    const int64_t E = n_embd;
    std::fill(out, out + n * E, 0.0f);
    const GGUFTensor* router = wl_opt(il, "ffn_gate_inp.weight");
    const bool hash_layer = il < n_hash_layers;
    const GGUFTensor* table_t = hash_layer ? wl_opt(il, "ffn_gate_tid2eid.weight") : nullptr;
    const FusedExperts fused = fused_experts_(il);
    auto shared_only = [&] { shared_expert_batch(il, x, out, n); };
    if (!router || n_expert < 1 || il < 0 || il >= n_layer) return shared_only();
    if (!fused.present() && forced_expert >= 0 && !om2_force()) return shared_only();

    std::vector<float> logits;
    moe_router_logits_(il, x, n, logits);
    const std::vector<float>& rb = router_caches[size_t(il)].bias;
    const int X = n_expert, k = n_expert_used;
    const int32_t* table = table_t && table_t->data ? reinterpret_cast<const int32_t*>(table_t->data) : nullptr;
    const int64_t table_rows = table && k > 0 ? hash_table_rows_(table_t, k) : 0;

    std::vector<MoeBucket> buckets(static_cast<size_t>(X));
    std::vector<float> score(static_cast<size_t>(X)), sel(static_cast<size_t>(X));
    std::vector<std::pair<int32_t, float>> chosen;
    for (int64_t t = 0; t < n; ++t) {
        for (int e = 0; e < X; ++e) {
            score[size_t(e)] = routing_score(logits[size_t(t * X + e)]);
            sel[size_t(e)] = score[size_t(e)] + rb[size_t(e)];
        }
        auto best = [&] {
            int b = 0;
            for (int e = 1; e < X; ++e)
                if (sel[size_t(e)] > sel[size_t(b)]) b = e;
            return b;
        };
        chosen.clear();
        if (hash_layer && table) {
            const int32_t tok = t < int64_t(tokens.size()) ? tokens[size_t(t)] : -1;
            // Token ids outside the table and entries outside the experts
            // are skipped (and counted) rather than read past the end.
            if (tok < 0 || tok >= table_rows) {
                ++routing_skips;
            } else {
                for (int i = 0; i < k; ++i) {
                    const int32_t id = table[int64_t(tok) * k + i];
                    if (id < 0 || id >= X) {
                        ++routing_skips;
                        continue;
                    }
                    chosen.emplace_back(id, score[size_t(id)]);
                }
            }
        } else if (hash_layer) {
            const int b = best();
            chosen.emplace_back(b, score[size_t(b)]);
        } else if (top1_mode || om2_bound) {
            int e;
            if (forced_expert >= 0 && forced_expert < X) {
                e = forced_expert;
            } else {
                active_set.apply_boost(sel.data(), X);
                if (sticky && !sticky_experts.empty())
                    for (int32_t s : sticky_experts)
                        if (s >= 0 && s < X) sel[size_t(s)] *= 1.05f;
                e = best();
            }
            chosen.emplace_back(e, score[size_t(e)]);
            if (sticky) {
                sticky_experts.insert(e);
                if (sticky_experts.size() >= 65) sticky_experts.erase(sticky_experts.begin());
            }
            const uint64_t bytes = om2_bound ? kOm2RoutedBytes
                                             : 12ULL * uint64_t(std::max(1, n_ff_exp)) * uint64_t(std::max(1, n_embd));
            active_set.on_routed(il, e, bytes);
        }
        if (expert_weights_norm && !chosen.empty()) {
            float sum = 0.0f;
            for (auto& c : chosen) sum += c.second;
            const float d = std::max(sum, kMinWeightSum);
            for (auto& c : chosen) c.second /= d;
        }
        if (expert_weights_scale != 0.0f && expert_weights_scale != 1.0f)
            for (auto& c : chosen) c.second *= expert_weights_scale;
        for (auto& c : chosen) buckets[size_t(c.first)].emplace_back(int32_t(t), c.second);
    }

    std::vector<int32_t> active;
    for (int e = 0; e < X; ++e)
        if (!buckets[size_t(e)].empty()) active.push_back(e);
    if (last_experts.size() < size_t(n_layer)) last_experts.resize(size_t(n_layer));
    if (n == 1) {
        last_experts[size_t(il)] = active;
    } else {
        std::vector<int32_t> last;
        for (int32_t e : active)
            for (auto& [row, w] : buckets[size_t(e)])
                if (row == n - 1) {
                    last.push_back(e);
                    break;
                }
        last_experts[size_t(il)] = std::move(last);
    }

    if (om2_bound) {
        if (il + 1 < n_layer)
            for (int32_t e : active) om2.prefetch_async(il + 1, e, 0);
        moe_om2_path_(il, active, buckets, x, out);
    } else if (fused.present()) {
        const bool gpu_types =
            gpu_expert_type(fused.t[0]->type) && gpu_expert_type(fused.t[1]->type) && gpu_expert_type(fused.t[2]->type);
        std::vector<int32_t> cpu_experts = active;
        if (use_gpu && !(n == 1 && n1_cpu_only) && gpu_types && uvm && uvm->ring_buffer())
            cpu_experts = moe_gpu_path_(il, fused, active, buckets, x, out);
        if (experts_cpu_with_shared_(il, fused, cpu_experts, buckets, x, out, n)) return;
        moe_cpu_path_(il, fused, cpu_experts, buckets, x, out, n);
    }
    shared_expert_batch(il, x, out, n);
}

} // namespace vm::zov4
