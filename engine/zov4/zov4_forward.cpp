#include "zov4/zov4_forward.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

#include "common/thread_budget.h"
#include "vm_gpu.h"
#include "zov4/zov4_hyper_connections.h"

namespace vm::zov4 {

namespace {

constexpr uint64_t kDecompressSlotBytes = 16777216; // 16 MiB

std::string layer_name(int il, const std::string& name) { return "blk." + std::to_string(il) + "." + name; }

} // namespace

ZOV4Forward::ZOV4Forward(const std::string& path) : gpu(GpuOps::bridge()) {
    model.open(path);
    load_hparams();
    check_model_();

    n_threads = std::max(1, vm::thread_budget());

    uvm = std::make_unique<vm::UvmPipeline>(model, path, n_layer);
    for (int il = 0; il < n_layer; ++il) uvm->register_layer_tensors(il, model, n_embd, n_ff_exp);

    auto exps = model.tensors.find("blk.0.ffn_up_exps.weight");
    if (exps == model.tensors.end() || exps->second == nullptr) {
        core_only = true;
        uint64_t bytes = 0;
        for (const auto& shard : model.shards) bytes += shard->size;
        std::fprintf(stderr,
                     "[ZOV4] CORE-ONLY mode: fused expert tensors absent from GGUF (tensors=%zu bytes=%.2f GiB). "
                     "MoE private experts → Vezev/om2 only.\n",
                     model.tensors.size(), double(bytes) / 1073741824.0);
    }

    vezev_ring = std::make_unique<vm::vezev::VezevTileRing>(
        4, size_t(std::max(1, n_ff_exp)) * size_t(std::max(1, n_embd)));
    decompress_ring = std::make_unique<vm::ane_dec::DecompressRing>(4, kDecompressSlotBytes);

    // Without a GPU device (or without a driver) every product takes its CPU route.
    use_gpu = vm_gpu_bridge_init() == 1;
}

ZOV4Forward::~ZOV4Forward() = default;

double ZOV4Forward::M(const std::string& key) const {
    if (model.shards.empty()) return 0.0;
    const auto& kv = model.shards.front()->kv;
    auto it = kv.find("deepseek4." + key);
    return it == kv.end() ? 0.0 : it->second;
}

void ZOV4Forward::load_hparams() {
    auto i32 = [&](const char* key) { return int32_t(M(key)); };
    auto f32 = [&](const char* key) { return float(M(key)); };

    n_layer = i32("block_count");
    last_experts.assign(size_t(std::max(0, n_layer)), {});

    n_embd = i32("embedding_length");
    n_head = i32("attention.head_count");
    head_dim = i32("attention.key_length");
    v_dim = i32("attention.value_length");
    n_rot = i32("rope.dimension_count");
    n_hc = i32("hyper_connection.count");
    q_rank = i32("attention.q_lora_rank");
    o_rank = i32("attention.output_lora_rank");
    o_groups = i32("attention.output_group_count");
    ix_heads = i32("attention.indexer.head_count");
    ix_dim = i32("attention.indexer.key_length");
    ix_top_k = i32("attention.indexer.top_k");
    sliding_window = i32("attention.sliding_window");
    n_expert = i32("expert_count");
    n_expert_used = i32("expert_used_count");
    n_group = i32("expert_group_count");
    n_group_used = i32("expert_group_used_count");
    n_ff_exp = i32("expert_feed_forward_length");
    n_vocab = i32("vocab_size");
    n_hash_layers = i32("hash_layer_count");
    n_ctx_orig = i32("rope.scaling.original_context_length");
    rms_eps = f32("attention.layer_norm_rms_epsilon");
    rope_base = f32("attention.compress_rope_freq_base");
    const float factor = f32("rope.scaling.factor");
    freq_scale = factor > 0.0f ? 1.0f / factor : 1.0f;
    yarn_beta_fast = f32("rope.scaling.yarn_beta_fast");
    yarn_beta_slow = f32("rope.scaling.yarn_beta_slow");
    hc_eps = f32("hyper_connection.epsilon");
    expert_weights_scale = f32("expert_weights_scale");
    expert_weights_norm = M("expert_weights_norm") != 0.0;
    expert_shared_count = i32("expert_shared_count");
    n_ff_shexp = n_ff_exp * (expert_shared_count > 1 ? expert_shared_count : 1);

    const size_t L = size_t(std::max(0, n_layer));
    compress_ratio.assign(L, 0);
    for (size_t il = 2; il < L; ++il) compress_ratio[il] = il % 2 == 0 ? 4 : 128;
    act_clamp.assign(L, 10.0f);
    caches.resize(L);
}

const GGUFTensor* ZOV4Forward::wl_opt(int il, const std::string& name) const {
    auto it = model.tensors.find(layer_name(il, name));
    return it == model.tensors.end() ? nullptr : it->second;
}

bool ZOV4Forward::has(int il, const std::string& name) const { return wl_opt(il, name) != nullptr; }

const GGUFTensor* ZOV4Forward::wl(int il, const std::string& name) const {
    if (const GGUFTensor* t = wl_opt(il, name)) return t;
    return global_tensor(layer_name(il, name));
}

const GGUFTensor* ZOV4Forward::global_tensor(const std::string& name) const {
    auto it = model.tensors.find(name);
    if (it != model.tensors.end() && it->second) return it->second;
    std::fprintf(stderr, "MISSING TENSOR: %s\n", name.c_str());
    throw ModelError("MISSING TENSOR: " + name);
}

void ZOV4Forward::reset_sequence() {
    std::lock_guard lock(mu);
    for (LayerCache& c : caches) c.clear_sequence();
    n_past = 0;
}

ZOV4Forward::SequenceState ZOV4Forward::take_sequence() {
    std::lock_guard lock(mu);
    SequenceState s;
    s.caches = std::move(caches);
    s.n_past = n_past;
    caches.clear();
    caches.resize(size_t(std::max(0, n_layer)));
    n_past = 0;
    return s;
}

void ZOV4Forward::restore_sequence(SequenceState state) {
    std::lock_guard lock(mu);
    if (state.caches.size() != size_t(std::max(0, n_layer)))
        throw std::invalid_argument("ZOV4: a saved sequence must hold one cache per layer");
    caches = std::move(state.caches);
    n_past = state.n_past;
}

} // namespace vm::zov4
