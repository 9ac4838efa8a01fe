#include "tests/support/DeepSeekV4Fixture.h"

#include <random>
#include <stdexcept>

#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

namespace vivirov::test {

int deepSeekV4CompressRatio(int il) { return il < 2 ? 0 : (il % 2 == 0 ? 4 : 128); }

namespace {

constexpr uint32_t kI32 = 26; // GGML's 32-bit integer tensor type

// Collects the tensors in writing order, then spreads them over the shards.
class TensorList {
public:
    TensorList(const DeepSeekV4Options& o) : o_(o), rng_(o.seed) {}

    // A rows × cols matrix (dims {cols, rows, extra...}) of random blocks.
    void matrix(const std::string& name, std::vector<uint64_t> dims, uint32_t type) {
        uint64_t n = 1;
        for (uint64_t d : dims) n *= d;
        const GgmlGeometry g = ggmlGeometry(type);
        if (g.elementsPerBlock == 0 || dims[0] % g.elementsPerBlock != 0) type = GGUFWriter::GQ8_0;
        add(name, type, std::move(dims), randomBlocks(type, n, rng_));
    }
    // F32 values around `centre` (norm weights near 1, biases near 0).
    void vec(const std::string& name, std::vector<uint64_t> dims, float centre, float spread) {
        uint64_t n = 1;
        for (uint64_t d : dims) n *= d;
        std::uniform_real_distribution<float> u(-spread, spread);
        std::vector<float> v(n);
        for (float& x : v) x = centre + u(rng_);
        add(name, GGUFWriter::GF32, std::move(dims), GGUFWriter::f32Bytes(v));
    }
    void hashTable(const std::string& name, int k, int vocab, int nExpert) {
        std::uniform_int_distribution<int32_t> u(0, nExpert - 1);
        std::string bytes;
        for (int i = 0; i < k * vocab; ++i) {
            int32_t id = u(rng_);
            bytes += GGUFWriter::le(&id, 4);
        }
        add(name, kI32, {uint64_t(k), uint64_t(vocab)}, bytes);
    }

    void add(const std::string& name, uint32_t type, std::vector<uint64_t> dims, std::string bytes) {
        DeepSeekV4Model::Tensor t;
        t.type = type;
        t.dims = std::move(dims);
        t.bytes = std::move(bytes);
        order_.push_back(name);
        model_.tensors[name] = std::move(t);
    }

    const DeepSeekV4Options& o_;
    std::mt19937 rng_;
    std::vector<std::string> order_;
    DeepSeekV4Model model_;
};

struct Meta {
    GGUFWriter& w;
    const DeepSeekV4Options& o;
    std::set<std::string> written;
    // True when the default should be written as is.
    bool def(const std::string& key) {
        written.insert(key);
        auto it = o.metadata.find(key);
        if (it == o.metadata.end()) return true;
        if (it->second) w.f64("deepseek4." + key, *it->second);
        return false;
    }
    void u32(const std::string& key, uint32_t v) {
        if (def(key)) w.u32("deepseek4." + key, v);
    }
    void f32(const std::string& key, float v) {
        if (def(key)) w.f32("deepseek4." + key, v);
    }
    void boolean(const std::string& key, bool v) {
        if (def(key)) w.boolean("deepseek4." + key, v);
    }
};

// Writes the model's metadata, with the caller's numbers in place of or
// beside the defaults.
void metadata(GGUFWriter& w, const DeepSeekV4Options& o) {
    const DeepSeekV4Shape& s = o.shape;
    const std::string p = "deepseek4.";
    w.str("general.architecture", "deepseek4");
    Meta m{w, o};
    m.u32("block_count", uint32_t(s.nLayer));
    m.u32("embedding_length", uint32_t(s.nEmbd));
    m.u32("attention.head_count", uint32_t(s.nHead));
    m.u32("attention.key_length", uint32_t(s.headDim));
    m.u32("attention.value_length", uint32_t(s.headDim));
    m.u32("rope.dimension_count", uint32_t(s.nRot));
    m.u32("hyper_connection.count", uint32_t(s.nHc));
    m.u32("attention.q_lora_rank", uint32_t(s.qRank));
    m.u32("attention.output_lora_rank", uint32_t(s.oRank));
    m.u32("attention.output_group_count", uint32_t(s.oGroups));
    m.u32("attention.indexer.head_count", uint32_t(s.ixHeads));
    m.u32("attention.indexer.key_length", uint32_t(s.ixDim));
    m.u32("attention.indexer.top_k", uint32_t(s.ixTopK));
    m.u32("attention.sliding_window", 128);
    m.u32("expert_count", uint32_t(s.nExpert));
    m.u32("expert_used_count", uint32_t(s.nExpertUsed));
    m.u32("expert_group_count", 1);
    m.u32("expert_group_used_count", 1);
    m.u32("expert_feed_forward_length", uint32_t(s.nFfExp));
    m.u32("vocab_size", uint32_t(s.nVocab));
    m.u32("hash_layer_count", uint32_t(s.nHashLayers));
    m.u32("rope.scaling.original_context_length", 4096);
    m.f32("attention.layer_norm_rms_epsilon", s.rmsEps);
    m.f32("attention.compress_rope_freq_base", 10000.0f);
    m.f32("rope.scaling.factor", 4.0f);
    m.f32("rope.scaling.yarn_beta_fast", 32.0f);
    m.f32("rope.scaling.yarn_beta_slow", 1.0f);
    m.f32("hyper_connection.epsilon", 1e-6f);
    m.f32("expert_weights_scale", 2.5f);
    m.boolean("expert_weights_norm", true);
    m.u32("expert_shared_count", uint32_t(s.sharedCount));
    for (const auto& [key, value] : o.metadata)
        if (value && !m.written.count(key)) w.f64(p + key, *value);
    for (const auto& [key, text] : o.metadataText) w.str(p + key, text);
}

void compressor(TensorList& t, const std::string& prefix, uint64_t E, uint64_t C, int r, uint32_t type) {
    const uint64_t c2 = r == 4 ? 2 * C : C;
    t.matrix(prefix + "_kv.weight", {E, c2}, type);
    t.matrix(prefix + "_gate.weight", {E, c2}, type);
    t.vec(prefix + "_ape.weight", {c2, uint64_t(r)}, 0.0f, 0.1f);
    t.vec(prefix + "_norm.weight", {C}, 1.0f, 0.1f);
}

} // namespace

DeepSeekV4Model writeDeepSeekV4Model(const std::string& dir, const std::string& stem,
                                     const DeepSeekV4Options& o) {
    const DeepSeekV4Shape& s = o.shape;
    if (o.shards < 1) throw std::invalid_argument("shards must be at least 1");
    TensorList t(o);
    const uint64_t E = uint64_t(s.nEmbd), S = uint64_t(s.nHc), H = uint64_t(s.nHead);
    const uint64_t D = uint64_t(s.headDim), Q = uint64_t(s.qRank), G = uint64_t(s.oGroups);
    const uint64_t Ro = uint64_t(s.oRank), ff = uint64_t(s.nFfExp), X = uint64_t(s.nExpert);
    const uint64_t ffs = ff * uint64_t(s.sharedCount > 1 ? s.sharedCount : 1);
    const uint32_t mt = o.matrixType;

    t.matrix("token_embd.weight", {E, uint64_t(s.nVocab)}, mt);
    for (int il = 0; il < s.nLayer; ++il) {
        const std::string b = "blk." + std::to_string(il) + ".";
        for (const char* half : {"hc_attn_", "hc_ffn_"}) {
            t.vec(b + half + "fn.weight", {S * E, S * (S + 2)}, 0.0f, 0.05f);
            t.vec(b + half + "scale.weight", {3}, 0.5f, 0.1f);
            t.vec(b + half + "base.weight", {S * (S + 2)}, 0.0f, 0.1f);
        }
        t.vec(b + "attn_norm.weight", {E}, 1.0f, 0.1f);
        t.matrix(b + "attn_q_a.weight", {E, Q}, mt);
        t.vec(b + "attn_q_a_norm.weight", {Q}, 1.0f, 0.1f);
        t.matrix(b + "attn_q_b.weight", {Q, H * D}, mt);
        t.matrix(b + "attn_kv.weight", {E, D}, mt);
        t.vec(b + "attn_kv_a_norm.weight", {D}, 1.0f, 0.1f);
        t.vec(b + "attn_sinks.weight", {H}, 0.0f, 0.5f);
        t.matrix(b + "attn_output_a.weight", {(H / G) * D, G * Ro}, mt);
        t.matrix(b + "attn_output_b.weight", {G * Ro, E}, mt);
        const int r = deepSeekV4CompressRatio(il);
        if (r != 0) compressor(t, b + "attn_compressor", E, D, r, mt);
        if (r == 4) {
            t.matrix(b + "indexer.attn_q_b.weight", {Q, uint64_t(s.ixHeads) * uint64_t(s.ixDim)}, mt);
            t.matrix(b + "indexer.proj.weight", {E, uint64_t(s.ixHeads)}, mt);
            compressor(t, b + "indexer_compressor", E, uint64_t(s.ixDim), 4, mt);
        }
        t.vec(b + "ffn_norm.weight", {E}, 1.0f, 0.1f);
        t.vec(b + "ffn_gate_inp.weight", {E, X}, 0.0f, 0.2f);
        t.vec(b + "exp_probs_b.bias", {X}, 0.0f, 0.05f);
        if (il < s.nHashLayers) t.hashTable(b + "ffn_gate_tid2eid.weight", s.nExpertUsed, s.nVocab, s.nExpert);
        t.matrix(b + "ffn_up_shexp.weight", {E, ffs}, mt);
        t.matrix(b + "ffn_gate_shexp.weight", {E, ffs}, mt);
        t.matrix(b + "ffn_down_shexp.weight", {ffs, E}, mt);
        if (o.withExperts) {
            t.matrix(b + "ffn_up_exps.weight", {E, ff, X}, o.expertType);
            t.matrix(b + "ffn_gate_exps.weight", {E, ff, X}, o.expertType);
            t.matrix(b + "ffn_down_exps.weight", {ff, E, X}, o.expertType);
        }
    }
    t.vec("output_norm.weight", {E}, 1.0f, 0.1f);
    t.matrix("output.weight", {E, uint64_t(s.nVocab)}, mt);
    t.vec("output_hc_fn.weight", {S * E, S}, 0.0f, 0.05f);
    t.vec("output_hc_scale.weight", {1}, 0.5f, 0.1f);
    t.vec("output_hc_base.weight", {S}, 0.0f, 0.1f);

    // Tensors go round-robin over the shards so that every shard holds some
    // fused experts; every shard carries the metadata.
    std::vector<GGUFWriter> writers(size_t(o.shards));
    for (auto& w : writers) metadata(w, o);
    for (size_t i = 0; i < t.order_.size(); ++i) {
        if (o.omitTensors.count(t.order_[i])) {
            t.model_.tensors.erase(t.order_[i]);
            continue;
        }
        auto& tensor = t.model_.tensors[t.order_[i]];
        tensor.shard = int(i % size_t(o.shards));
        writers[size_t(tensor.shard)].tensor(t.order_[i], tensor.dims, tensor.type, tensor.bytes);
    }
    DeepSeekV4Model out = std::move(t.model_);
    out.shardPaths = o.shards == 1 ? std::vector<std::string>{dir + "/" + stem + ".gguf"}
                                   : shardNames(dir, stem, o.shards);
    for (size_t i = 0; i < writers.size(); ++i) writers[i].write(out.shardPaths[i]);
    return out;
}

} // namespace vivirov::test
