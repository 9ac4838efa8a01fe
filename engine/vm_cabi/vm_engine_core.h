#pragma once
// The first-generation CPU engine behind vm_engine_*: a Qwen2-style dense
// model (hyperparameters under "qwen2.", q/k/v biases, output tied to the
// token embedding) held as f32, one KV session reused across calls, greedy
// decoding.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bpe_tokenizer.h"
#include "compact_matrix.h"
#include "gguf_file.h"

struct vm_engine;

// Observes intermediate activations of a forward step (must not keep `data`).
class ActivationHook {
public:
    virtual ~ActivationHook() = default;
    virtual void observe(int32_t layer, int32_t site, const float* data, int32_t count) = 0;
};

class VMEngine {
public:
    // Per-token vectors live in buffers of these fixed sizes; larger models are
    // refused at construction.
    static constexpr int32_t kMaxHidden = 1536;
    static constexpr int32_t kMaxQDim = 1536;
    static constexpr int32_t kMaxKVDim = 256;

    struct Tensor {
        std::vector<float> data; // rows × cols, row-major
        uint64_t cols = 0;
        uint64_t rows = 0;
    };
    struct Layer {
        std::vector<float> attn_norm, ffn_norm, bq, bk, bv;
        Tensor wq, wk, wv, wo, w_gate, w_up, w_down;
    };
    // Compact weights of one layer, in the order q, k, v, o, gate, up, down.
    struct QLayer {
        vm::BitMatrix m[7];
    };
    struct TQLayer {
        vm::TernMatrix m[7];
    };
    struct EagleHead {
        std::vector<float> lists[12];
        int32_t n = 0;
        float rope_base = 1000000.0f;
        float eps = 1e-6f;
    };

    // The KV store of one conversation; rows indexed by position, then KV head.
    struct Session {
        std::vector<std::vector<float>> k_f32, v_f32;
        std::vector<std::vector<int8_t>> k_q8, v_q8;
        std::vector<std::vector<float>> k_q8_scale, v_q8_scale;
        bool int8_kv = false;
        std::vector<std::vector<uint8_t>> k_codes, v_codes;
        std::vector<std::vector<float>> k_scale, v_scale, k_zero, v_zero;
        std::vector<std::vector<uint16_t>> k_out_pos, v_out_pos;
        std::vector<std::vector<uint16_t>> k_out_val, v_out_val; // f16 bits
        std::vector<std::vector<uint16_t>> k_window, v_window;   // f16 bits
        bool kivi = false;
        int32_t n_outliers = 0;
        int32_t window = 0;
        std::vector<int32_t> history;
        int32_t capacity = 0;
    };

    explicit VMEngine(const std::string& path);
    ~VMEngine();
    VMEngine(const VMEngine&) = delete;
    VMEngine& operator=(const VMEngine&) = delete;

    Tensor getW(const std::string& name) const;
    std::vector<float> getVec(const std::string& name) const;
    std::vector<float> dequant(const GGUFTensor* t) const;
    void build_byte_decoder();
    void init_session(Session& s, int32_t ctx, bool int8_kv, bool kivi);
    void pin_resident();
    // Returns the number of pieces delivered; throws on failure. A stop
    // request ends it before the next forward step, with `*stopped` set.
    int32_t generate(const std::string& prompt, int32_t max_new_tokens,
                     const std::function<void(const std::string&)>& on_piece, bool* stopped = nullptr);
    // Asks the running generate to end; false when none runs.
    bool request_stop();
    std::string detok_id(int32_t id) const;
    void forward_token_into(Session& s, int32_t token, int32_t pos, std::vector<float>& logits);
    void projq(int32_t layer, int32_t which, const Tensor& W, const std::vector<float>* bias, const float* x,
               float* y) const;

    int32_t hidden = 1536;
    int32_t n_head = 12;
    int32_t n_head_kv = 2;
    int32_t head_dim = 128;
    int32_t n_layer = 28;
    float rms_eps = 1e-6f;
    float rope_base = 1000000.0f;
    int32_t q_dim = 0;
    int32_t kv_dim = 0;
    int32_t vocab_size = 0;
    int32_t n_ctx = 4096;

    ActivationHook* activation_hook = nullptr;
    std::vector<QLayer> bit_layers;
    bool use_bit_layers = false;
    std::vector<TQLayer> tern_layers;
    bool use_tern_layers = false;
    mutable std::vector<int8_t> tern_scratch;

    GGUFFile file;
    BPETokenizer tokenizer;
    Tensor tok_embd;
    std::vector<float> output_norm;
    std::vector<Layer> layers;
    EagleHead eagle;
    std::vector<float> last_hidden;
    mutable std::vector<int8_t> act_q8, act_q8_perm;
    std::unordered_map<uint32_t, uint8_t> byte_decoder;
    std::vector<int32_t> stop_tokens;
    Session session;
    bool prefix_cache = true;
    std::mutex gen_mu;
    std::vector<std::pair<void*, size_t>> pinned;

    // Forward steps run so far (each runs one position through every layer).
    uint64_t forward_steps = 0;

    // Stop requests name the generation they were made for, so one that
    // arrives after its generation ended never matches a later one.
    std::atomic<uint64_t> generation_serial{0};
    std::atomic<uint64_t> running_generation{0}; // 0: none runs
    std::atomic<uint64_t> stop_generation{0};

private:
    void check_shapes(int32_t layer) const;
};

// The engine behind a handle (for the engine's own tests and tools).
VMEngine* vm_engine_impl(vm_engine* handle);
