// Guessing the coming layers' experts before they run, so their slices are
// already being read into the ring: the router oracle (each layer's own
// router on one hidden state), the hash tables of the hash layers, and the
// umbrella swarm. Every guess ends in prefetches of up, gate and down.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "vm_gpu.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

void ZOV4Forward::prefetch_expert_slices_(int il, int e) {
    if (!uvm || il < 0 || il >= n_layer || e < 0 || e >= n_expert) return;
    for (int p = 0; p < 3; ++p) uvm->enqueue_expert_prefetch(il, ExpertProj(p), e);
}

void ZOV4Forward::predict_layer_experts_(int il, int token, const float* x, std::vector<int>& out) const {
    out.clear();
    if (il < 0 || il >= n_layer) return;
    if (il < n_hash_layers) {
        const GGUFTensor* table = wl_opt(il, "ffn_gate_tid2eid.weight");
        const int k = n_expert_used;
        if (!table || !table->data || k < 1) return;
        int64_t t = std::max(token, 0);
        if (n_vocab > 0 && t >= n_vocab) t %= n_vocab;
        const int64_t rows = hash_table_rows_(table, k);
        if (t >= rows) return;
        const auto* ids = reinterpret_cast<const int32_t*>(table->data) + t * k;
        out.assign(ids, ids + k);
        return;
    }
    if (!x) return;
    ensure_router_cache_(il);
    const RouterCache& c = router_caches[size_t(il)];
    if (!c.ready || c.w.empty()) return;
    const int64_t E = n_embd, X = n_expert;
    std::vector<float> logits(static_cast<size_t>(X), 0.0f);
    bool done = false;
    if (use_gpu) {
        std::vector<float> xc(x, x + E);
        done = vm_gpu_matmul(nullptr, 0, c.w.data(), nullptr, 0, xc.data(), logits.data(), uint32_t(X), uint32_t(E),
                             1) == 1;
    }
    if (!done)
        for (int64_t e = 0; e < X; ++e) {
            float s = 0.0f;
            for (int64_t h = 0; h < E; ++h) s += x[h] * c.w[size_t(e * E + h)];
            logits[size_t(e)] = s;
        }
    int best = -1;
    float best_score = 0.0f;
    for (int64_t e = 0; e < X; ++e) {
        const float z = logits[size_t(e)];
        const float score = c.bias[size_t(e)] + std::sqrt(std::max(z, 0.0f) + std::log1p(std::exp(-std::fabs(z))));
        if (best < 0 || score > best_score) best = int(e), best_score = score;
    }
    if (best >= 0) out.push_back(best);
}

void ZOV4Forward::oracle_prefetch_horizon_(int il, int token, const float* h, int horizon) {
    if (!h || !uvm || horizon < 0) return;
    std::vector<int> experts;
    for (int i = 0; i <= horizon; ++i) {
        const int l = il + i;
        if (il < 0 || l >= n_layer) break;
        predict_layer_experts_(l, token, h, experts);
        for (int e : experts) prefetch_expert_slices_(l, e);
    }
}

void ZOV4Forward::oracle_warm_start_(int token, const float* x) {
    if (!uvm) return;
    std::vector<int> experts;
    int l = 0;
    for (; l < n_hash_layers && l < n_layer; ++l) {
        predict_layer_experts_(l, token, nullptr, experts);
        for (int e : experts) prefetch_expert_slices_(l, e);
    }
    if (!x || l >= n_layer) return;
    std::vector<float> mixed(static_cast<size_t>(n_embd)), normed(static_cast<size_t>(n_embd));
    hc_pre(x, wl(l, "hc_ffn_fn.weight"), wl(l, "hc_ffn_scale.weight"), wl(l, "hc_ffn_base.weight"), mixed.data(), 1);
    rmsnorm_rows(mixed.data(), wl(l, "ffn_norm.weight"), normed.data(), n_embd, 1);
    oracle_prefetch_horizon_(l, token, normed.data(), n_layer - l);
}

void ZOV4Forward::ensure_umbrella_() {
    if (!umbrella_on || umbrella) return;
    const char* v = std::getenv("VIVIROV_UMBRELLA");
    if (v && (v[0] == '0' || v[0] == 'N' || v[0] == 'n')) {
        umbrella_on = false;
        return;
    }
    umbrella = std::make_unique<vm::UmbrellaSwarm>(vm::UmbrellaConfig{});
}

void ZOV4Forward::umbrella_prefetch_(int token, const float* x) {
    if (!x || !uvm) return;
    ensure_umbrella_();
    if (!umbrella) return;
    const int64_t H = n_embd;
    const int64_t chunk = std::max<int64_t>(H / 64, 1);
    float summary[64];
    for (int64_t i = 0; i < 64; ++i) {
        const int64_t b = i * chunk;
        const int64_t e_uncapped = i < 63 ? (i + 1) * chunk : H;
        const int64_t e = std::min(e_uncapped, H);
        double s = 0.0;
        for (int64_t j = b; j < e; ++j) s += double(x[j]);
        summary[i] = float(s / double(std::max<int64_t>(e_uncapped - b, 1)));
    }
    umbrella->run(summary, 64, token, n_expert, 0, [this](int l, int e) { prefetch_expert_slices_(l, e); });
}

void ZOV4Forward::apex_observe_expert_(const float* x, int64_t n) const {
    if (!x || n < 1) return;
    if (!sketch) sketch = std::make_unique<vm::apex::FirstTouchSketch>();
    sketch->observe(x, n);
    ++observed_activations;
}

} // namespace vm::zov4
