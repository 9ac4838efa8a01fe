#pragma once
// The second-generation engine object: the command and result rings, the
// model (scaffold, dense Qwen2-style, or DeepSeek-V4), the dense path's GPU
// buffers and CPU key/value table, and the pump thread that decodes one token
// per running request per pass. It lives at the start of the handle block
// (EngineWrapper), which adds the result and callback threads.
//
// Threads: the constructor and destructor run alone. Callers touch only the
// command ring (enqueue). The pump owns everything else while it runs; the
// dense steps and the GPU slot list are also used by callers' threads (swarm
// step, draft check), so every user of them holds dense_mu_.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "doorbell.h"
#include "engine_records.h"
#include "lora_manager.h"

class GGUFFile;
struct GGUFTensor;

namespace vm::zov4 {
class ZOV4Forward;
}
namespace vm {
class SwarmKVPager;
}

namespace vivirov {

class DKVHashTable;

inline constexpr const char* kScaffoldPath = "scaffold://no-model";
inline constexpr int kGpuSlots = 64;        // fused-path sequence slots
inline constexpr int kGpuSlotPositions = 128; // cached positions per slot and layer

class VMEngineV2 {
public:
    struct ActiveSequence {
        uint32_t agent_id = 0;
        TokenHook hook = nullptr;
        void* hook_ctx = nullptr;
        int32_t token = 0;     // fed at the next step
        int32_t pos = 0;       // positions already stored
        int32_t generated = 0;
        int32_t gpu_slot = -1; // dense fused path only
        std::vector<int32_t> tokens; // DeepSeek-V4 history
        // DeepSeek-V4: this request's own caches and position, swapped into
        // the forward object for each of its steps.
        std::shared_ptr<void> zov4_state;
    };

    // One 1.08-bit weight matrix: GPU buffer handles with byte offsets.
    struct BillmMatrix {
        void* b1 = nullptr; size_t b1_off = 0;
        void* sal_cols = nullptr; size_t sal_off = 0;
        void* b2 = nullptr; size_t b2_off = 0;
        void* alpha = nullptr; size_t alpha_off = 0;
        void* beta = nullptr; size_t beta_off = 0;
        uint32_t rows = 0, n_sal = 0, in_pad = 0;
    };
    struct BillmLayer {
        BillmMatrix q, k, v, o, gate, up, down;
    };

    // Builds the engine for `path` ("scaffold://no-model" for no file); throws
    // std::exception with the reason when the model cannot serve.
    explicit VMEngineV2(const char* path);
    ~VMEngineV2();
    VMEngineV2(const VMEngineV2&) = delete;
    VMEngineV2& operator=(const VMEngineV2&) = delete;

    // ---- Request pipeline ----------------------------------------------
    // Bounded multi-producer enqueue; false at once when the ring is full.
    bool enqueue(uint8_t op, uint32_t agent_id, const uint32_t* ids, uint32_t n_ids, TokenHook hook, void* ctx);
    // Consumer side (the pump's; one thread): the next queued command, if any.
    bool dequeue(EngineCommand& out);
    void start();
    // Stops the pump after its current pass and joins it (idempotent).
    void stop_pump();
    void forward_pump();
    void free_slot(int slot);
    // Result-ring consumer side, for the result thread.
    bool pop_result(InferenceResult& out);
    bool result_waiting() const;

    bool pump_halted() const { return pump_halted_.load(std::memory_order_acquire); }
    std::string pump_fault() const; // empty unless halted

    // Test seam: when set, every decode call of the pump (prompt feeding
    // included) runs this instead of the model's step. Set before requests.
    using StepHook = int32_t (*)(void* ctx, ActiveSequence& seq);
    void set_step_hook_for_testing(StepHook hook, void* ctx) { step_hook_ = hook, step_hook_ctx_ = ctx; }

    // ---- Construction and GPU buffers ------------------------------------
    int32_t get_kv_dim() const;
    // Ids the model can embed: below this bound (the vocabulary, or fewer
    // embedding rows when the file has them).
    int32_t id_limit() const;
    void alloc_gpu_buffers();
    void free_gpu_buffers();

    // ---- Decode steps (one token of one sequence; return the next token) --
    // Scaffold: (token + 1) mod vocabulary; dense models: forward_one_cpu_dense.
    int32_t forward_one_cpu(ActiveSequence& seq);
    int32_t forward_one_zov4(ActiveSequence& seq);

    // ---- Dense decode paths: defined with the dense model code ----------
    int32_t forward_one_cpu_dense(ActiveSequence& seq);
    int32_t forward_one_gpu(ActiveSequence& seq);
    int32_t forward_one_gpu_billm(ActiveSequence& seq);
    void embed(int token, float* out);
    static void deq_q8_0(const uint8_t* block, float* out);
    static std::string blk(int layer, const char* name);
    void matmul(const GGUFTensor* w, const float* x, float* y);
    void fmm(const GGUFTensor* w, void* in, size_t in_off, void* out, size_t out_off);
    // Why the fused path cannot multiply the dense model's matrices: the
    // first one (layers in order, then the output) that is missing or of a
    // type without a GPU product, as "<name> (type <t>)" or "<name>
    // (missing)"; empty when it can.
    std::string fused_refusal_() const;
    // The CPU path's key/value table: built by the constructor with one key
    // row and one value row of f32 per entry, and cleared of a finished
    // sequence's positions 0 .. n_positions-1 in every layer.
    void kv_open_(uint32_t value_bytes);
    void kv_forget_(uint32_t agent_id, int32_t n_positions);
    struct DKVDelete {
        void operator()(DKVHashTable* table) const;
    };
    // ---- end of the dense decode block ------------------------------------

    struct Zov4Delete {
        void operator()(vm::zov4::ZOV4Forward* fwd) const;
    };

    // Members in layout order.
    RingCounter cmd_head_; // enqueue position
    RingCounter cmd_tail_; // dequeue position (pump only)
    EngineCommand cmd_ring_[kRingSlots];
    RingCounter res_head_; // written by the pump
    RingCounter res_tail_; // written by the result thread
    InferenceResult res_ring_[kRingSlots];
    Doorbell cmd_bell_; // rung by enqueue and stop_pump; the idle pump sleeps on it
    Doorbell res_bell_; // rung by each result and by the wrapper's stop

    std::unique_ptr<GGUFFile> gguf_;
    void* model_buf_ = nullptr;

    int32_t n_layers_ = 0, n_embd_ = 0, n_head_ = 0, n_head_kv_ = 0, n_ff_ = 0;
    int32_t head_dim_ = 0, kv_dim_ = 0, n_vocab_ = 0;
    float rope_base_ = 0.0f, rms_eps_ = 0.0f;

    const GGUFTensor* tok_embd_ = nullptr;
    const GGUFTensor* output_ = nullptr;
    const float* output_norm_w_ = nullptr;
    const GGUFTensor* output_norm_ = nullptr;

    std::unique_ptr<DKVHashTable, DKVDelete> kv_;

    std::thread pump_;
    std::atomic<bool> running_{false};

    std::vector<float> k_rows_, v_rows_;
    // The CPU step's per-layer matrices, found once instead of by name at
    // every step, and its working rows, kept between steps so a step
    // allocates nothing (both used under dense_mu_, like k_rows_).
    struct DenseLayer {
        const GGUFTensor *attn_norm, *ffn_norm, *q, *k, *v, *q_bias, *k_bias, *v_bias, *out, *gate, *up, *down;
    };
    std::vector<DenseLayer> dense_layers_;
    struct DenseRows {
        std::vector<float> x, xn, q, att, proj, kv, gate, up, act, logits;
    } dense_rows_;

    bool fused_ = false;
    std::vector<int32_t> free_slots_; // a stack; the end is the top

    void* g_x_ = nullptr;
    void* g_xn_ = nullptr;
    void* g_q_ = nullptr;
    void* g_k_ = nullptr;
    void* g_v_ = nullptr;
    void* g_attn_ = nullptr;
    void* g_proj_ = nullptr;
    void* g_xn2_ = nullptr;
    void* g_gate_ = nullptr;
    void* g_up_ = nullptr;
    void* g_act_ = nullptr;
    void* g_down_ = nullptr;
    void* g_logits_ = nullptr;
    void* g_argmax_ = nullptr;
    void* g_kcache_ = nullptr;
    void* g_vcache_ = nullptr;
    float* x_host_ = nullptr;
    uint32_t* argmax_host_ = nullptr;

    bool is_zov4_ = false;
    std::unique_ptr<vm::zov4::ZOV4Forward, Zov4Delete> zov4_;
    // DeepSeek-V4: the forward object's expert switches as creation left
    // them. Every request step runs under these, whatever a chat turn or the
    // benchmark set since, and puts theirs back afterwards.
    struct Zov4Mode {
        bool om2_prefer_only = true;
        bool om2_residual = false;
        int32_t forced_expert = -1;
        bool use_gpu = true;
        bool n1_cpu_only = false;
        int32_t evs_mode = 1;
        float evs_lambda = 1.0f, evs_rho = 3.0f, evs_alpha_fixed = 1.0f;
    };
    Zov4Mode zov4_request_mode_;

    bool billm_ = false; // never set: no operation loads 1.08-bit weights
    std::vector<BillmLayer> billm_layers_;
    BillmMatrix billm_head_;
    void* g_xq_ = nullptr;
    void* g_xscale_ = nullptr;
    void* g_acc1_ = nullptr;
    void* g_acc2_ = nullptr;

    // ---- Swarm step, draft check, LoRA registry and KV pager members ----
    std::unordered_map<uint32_t, int32_t> lora_agents_;
    std::unordered_map<uint32_t, int32_t> swarm_last_;
    lora::LoRAManager lora_;
    struct KVPagerDelete {
        void operator()(vm::SwarmKVPager* pager) const;
    };
    std::unique_ptr<vm::SwarmKVPager, KVPagerDelete> kv_pager_; // the engine never opens one
    // Key/value rows of the swarm step's and draft check's temporary CPU
    // sequences, swapped in for kv_ while they run: they share agent ids with
    // running requests, whose rows they must neither read nor remove.
    std::unique_ptr<DKVHashTable, DKVDelete> swarm_kv_;
    // One decode step per agent on a temporary sequence, n; on a DeepSeek-V4
    // engine with n ≥ 2, one prefill of eight synthetic ids per agent, 8 × n.
    // 0 for bad arguments.
    int32_t forward_swarm(const uint32_t* agent_ids, int32_t n);
    // Feeds the draft and counts the tokens the model itself predicts, the
    // first always; 0, or -1 (accepted 0) for bad arguments or ids outside
    // the vocabulary.
    int32_t forward_verify_draft(uint32_t agent, const uint32_t* draft, int32_t n, int32_t* accepted);
    // The adapter's index in lora_, mapped to the agent; -1 for bad sizes.
    int32_t register_lora(uint32_t agent, const float* A, const float* B, int32_t in_dim, int32_t out_dim,
                          int32_t rank, float scale);
    // ---- end of the swarm block -------------------------------------------

    // Held around every dense step and every use of free_slots_, since the
    // swarm step and the draft check run them on callers' threads.
    std::mutex dense_mu_;

private:
    void construct_zov4_(const char* path);
    struct PumpState;
    void run_passes(PumpState& st);
    void take_command(const EngineCommand& cmd, PumpState& st);
    int32_t decode_call(ActiveSequence& seq);
    void push_result(const ActiveSequence& seq, int32_t token, bool final);
    bool command_waiting() const;
    void release_sequence(ActiveSequence& seq);
    void halt(const char* what, PumpState& st);

    std::atomic<bool> pump_halted_{false};
    std::string pump_fault_; // written once before pump_halted_ is set
    StepHook step_hook_ = nullptr;
    void* step_hook_ctx_ = nullptr;
};

// MurmurHash3's 32-bit finaliser: the CPU path's key hashes.
inline uint32_t fmix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x;
}

} // namespace vivirov
