#pragma once
// The whole DeepSeek-V4 model inside the engine: the opened (sharded) GGUF
// file, its hyperparameters, the weight lookups, and every piece of state the
// forward pass and the expert machinery keep between calls.
//
// Threading: the entry points (forward, forward_one, multi_seq_prefill,
// multi_decode_step) hold the recursive mutex `mu` for their whole run, so
// steps interleave but never overlap. Everything they call runs on the
// calling thread (fanning work out and joining it before going on) and may
// touch the members below without further locking. Hyperparameters, ratios
// and the model's maps are read-only after construction.
//
// Members are grouped by the part of the pass that owns them; each group's
// methods live in their own source files (zov4_<group>*.cpp).
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../vm_cabi/gguf_model.h"
#include "../vm_cabi_v2/active_set_tracker.h"
#include "../vm_cabi_v2/expert_deferral_engine.h"
#include "../vm_cabi_v2/first_touch_sketch.h"
#include "../vm_cabi_v2/om2_registry.h"
#include "../vm_cabi_v2/tile_rings.h"
#include "../vm_cabi_v2/umbrella_swarm.h"
#include "../vm_cabi_v2/uvm_pipeline.h"
#include "f32_wall_file.h"
#include "zov4_gpu_ops.h"
#include "zov4_layer_cache.h"
#include "zov4_moe_types.h"
#include "zov4_row_products.h"

namespace vm::zov4 {

// Thrown by construction when the file cannot be run by this pass (bad
// hyperparameters, a missing or misshapen tensor), and by a lookup of a
// tensor the model lacks; the engine then falls back.
class ModelError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ZOV4Forward {
public:
    // ---- records ---------------------------------------------------------

    // Expansion weights carried from a pre-mix to its expansion.
    struct HCMix {
        std::vector<float> post; // n × S
        std::vector<float> comb; // n × S × S, each position's matrix row-major
    };

    // A single-precision copy of a dense weight (rows × cols, the tensor's
    // own row order).
    struct F32DenseEntry {
        float* f32 = nullptr;
        int64_t rows = 0;
        int64_t cols = 0;
        int64_t count = 0;
    };

    // One layer's indexer projections as F32, built on first use.
    struct IndexerCache {
        std::vector<float> wq_b;   // Hi·Di × Q
        std::vector<float> w_proj; // Hi × E
        bool loaded = false;
    };

    // One sequence of the batched decode.
    struct MultiSlot {
        std::vector<LayerCache> layers; // slabs of 128 positions
        std::vector<float> streams;     // E·S
        int64_t pos = 0;
        bool active = false;
    };

    // Reusable buffers of the single-token and batched decode, built once by
    // ensure_decode_arena_ and never shrunk.
    struct DecodeArena {
        // single-token scratch
        std::vector<float> dec_keys, dec_mask;
        std::vector<int32_t> dec_pos;
        std::vector<float> cmp_values, cmp_gates, cmp_out;
        std::vector<int32_t> cmp_pos;
        std::vector<std::vector<float>> pool_scratch;
        std::vector<float> ix_buf;
        std::vector<int32_t> ix_order;
        std::vector<char> ix_keep;
        std::vector<float> ix_q, ix_q_rot, ix_w;
        std::vector<float> sh_up, sh_gate, sh_act, sh_in, sh_mid;
        std::vector<float> shb_up, shb_gate, shb_act, shb_in;
        std::vector<float> pair_scratch, router_logits, router_probs;
        std::vector<float> gout_row, dec_sinks;
        // rows of the batched step
        std::vector<float> streams_a, x, xn, qa, qn, q, qh, q_rot, kv, kvn, kv_rot, att, att_rot;
        std::vector<float> f_attn, xf, f_ffn, gout_in, gout_mid, head, head_n, logits, streams_b;
        std::vector<float> keys, masks;
        std::vector<int32_t> row_pos;
        std::vector<int64_t> n_keys;
        std::vector<float> hc_norm, hc_logits, hc_mix, hc_pre_w, hc_post_w, hc_comb, hc_scale, hc_base;
        std::vector<float> head_norm, head_logits, head_w, head_scale, head_base;
        std::vector<float> sinks;
        std::vector<uint8_t> sinks_ready;
        std::vector<uint8_t> row_active;
        std::vector<int32_t> row_slot;
    };

    // The single sequence's history, taken out or put back whole.
    struct SequenceState {
        std::vector<LayerCache> caches;
        int64_t n_past = 0;
    };

    // Indices into prof.
    enum Prof : int {
        kProfQ, kProfKvProj, kProfKvBuild, kProfMha, kProfMoe, kProfRopeOut, kProfGout, kProfRes,
        kProfBHc, kProfBQkv, kProfBRope, kProfBKv, kProfBMha, kProfBGout, kProfBRes, kProfBLm,
        kProfCount
    };

    // ---- construction and weights ---------------------------------------

    // Opens the model whose first (or only) shard is `path`. Throws the
    // reader's error for a bad file and ModelError for a model this pass
    // cannot run.
    explicit ZOV4Forward(const std::string& path);
    ~ZOV4Forward();
    ZOV4Forward(const ZOV4Forward&) = delete;
    ZOV4Forward& operator=(const ZOV4Forward&) = delete;

    void load_hparams();
    // The number stored under "deepseek4." + key in the first shard, or 0.
    double M(const std::string& key) const;
    // "blk.<il>.<name>"; writes "MISSING TENSOR: <name>" and throws
    // ModelError when the model lacks it.
    const GGUFTensor* wl(int il, const std::string& name) const;
    const GGUFTensor* wl_opt(int il, const std::string& name) const;
    bool has(int il, const std::string& name) const;
    // A model-wide tensor; writes "MISSING TENSOR" and throws when absent.
    const GGUFTensor* global_tensor(const std::string& name) const;

    // ---- single-sequence forward pass ------------------------------------

    // Prefill of a prompt; the index of the largest last-position logit.
    // Throws std::out_of_range for an empty prompt or a token id outside the
    // vocabulary, before anything changes.
    int32_t forward(const std::vector<int32_t>& tokens, std::vector<float>* logits = nullptr,
                    bool verbose = false);
    // Decode of one token at position n_past.
    int32_t forward_one(int32_t token, std::vector<float>* logits = nullptr, bool verbose = false);
    void embed(const std::vector<int32_t>& tokens, float* hidden) const;
    void layer(int il, const std::vector<int32_t>& tokens, std::vector<float>& hidden, int64_t n, bool verbose);
    void layer_one(int il, int32_t token, std::vector<float>& hidden, bool verbose);
    // After position p's rows were appended: keeps the layer's history to
    // the latest `window` positions (rows in front of it are trimmed in
    // bulk) and its compressed rows to the blocks still inside it.
    void keep_window_(LayerCache& c, int r, int64_t p, int64_t window);
    void rms_audit_after_hc_(int il, int phase, float* streams, int64_t count);

    // Empties the single sequence (caches and n_past) so that the next
    // prefill starts a new one; or takes it out whole and puts it back.
    void reset_sequence();
    SequenceState take_sequence();
    void restore_sequence(SequenceState state);

    // ---- hyper-connections -----------------------------------------------

    HCMix hc_pre(const float* streams, const GGUFTensor* fn, const GGUFTensor* scale, const GGUFTensor* base,
                 float* x, int64_t n);
    void hc_head(const float* streams, float* y, int64_t n);

    // ---- matrix products and RMS norms -----------------------------------

    void mm(const GGUFTensor* W, const float* x, float* y, int64_t K, int64_t N);
    void mm_multi(const GGUFTensor* W, const float* X, float* Y, int64_t K, int64_t N, int64_t M);
    int32_t gmm(const void* data, uint32_t type, uint64_t nbytes, const float* B, float* C, int64_t K, int64_t N,
                int64_t M);
    void rmsnorm(const float* x, const GGUFTensor* W, float* y, int64_t n);
    void rmsnorm_rows(const float* X, const GGUFTensor* W, float* Y, int64_t n, int64_t rows);
    void run_threads(int64_t N, const std::function<void(int64_t, int64_t)>& fn) const;
    // Products of one step that read different weights, made in one pass of
    // the pool for M rows (Y = X·Wᵀ each, X M × K, Y M × N); each goes its
    // own mm_multi way when the pass cannot take it.
    struct MatJob {
        const GGUFTensor* W;
        const float* X;
        float* Y;
        int64_t K, N;
    };
    void mm_together(std::initializer_list<MatJob> jobs, int64_t M);
    // mm_together for one row, with further products (each with its own
    // rows) in the same pass; false when the extra products were not made
    // (the jobs are made either way).
    bool mm_together_with(std::initializer_list<MatJob> jobs, const RowProduct* extra, int n_extra);

    // ---- attention: rotary tail, FP8 rows, sinks, grouped output ---------
    // ---- compressor and indexer ------------------------------------------
    void grouped_out_gpu(int layer, const float* in, float* out, int64_t n);
    void compressor(int layer, const std::string& prefix, const float* x, const int* block_pos, int64_t C, int r,
                    int64_t n, float* out);
    void compressor_inc_(int layer, const std::string& prefix, const float* x_hist, int64_t C, int r,
                         int64_t n_hist, int64_t& covered, std::vector<float>& rows, int64_t& n_done);
    // The history moved from n_old rows at first_old to n_new rows at
    // first_new: the compressed rows of blocks that left it are dropped and
    // the rest kept, since a block's row depends only on its own positions'
    // inputs; the next build of the keys computes only the blocks that
    // entered.
    void slide_compressed_rows_(LayerCache& c, int r, int64_t first_old, int64_t n_old, int64_t first_new,
                                int64_t n_new);
    void compressor_pool_arena_(const float* kv, const float* gate, const float* ape, const float* norm,
                                const int* block_pos, float* out, int64_t C, int64_t n, int r,
                                int64_t first_block = 0);
    void ensure_comp_meta_(int layer, const std::string& prefix, int64_t C, int r, bool indexer_set);
    // The projections an overlapping (ratio 4) block reads, for its eight
    // positions from `first`: false, writing nothing, when the row products
    // refuse the weights.
    bool project_overlap_halves_(const GGUFTensor& wa, const GGUFTensor& wb, const float* x, int64_t C,
                                 int64_t first, float* ya, float* yb);
    void project_range_gemv_(const GGUFTensor& wa, const GGUFTensor& wb, const float* x, int64_t rows,
                             int64_t first, int64_t end, float* ya, float* yb);
    void build_kv_and_mask(int layer, int r, const float* x, const float* qlat, const float* kv,
                           const int* positions, int64_t n, std::vector<float>& keys, std::vector<float>& mask,
                           int64_t& n_keys);
    void build_kv_and_mask_inc_(int layer, int r, LayerCache& cache, const int* positions, int64_t n_arg,
                                float** keys_out, float** mask_out, int64_t& n_keys, float* keys_dst,
                                float* mask_dst);
    // build_kv_and_mask_inc_ into the arena for the single-token decode,
    // without the raw rows older than the sliding window: the keys and mask
    // start at the first row the query can see, and n_keys counts from there.
    void decode_keys_(int layer, int r, LayerCache& cache, const int* positions, int64_t n_arg, float** keys_out,
                      float** mask_out, int64_t& n_keys);
    void last_query_keys_(int layer, int r, LayerCache& cache, const int* positions, int64_t n_arg,
                          float** keys_out, float** mask_out, int64_t& n_keys, float* keys_dst, float* mask_dst,
                          bool visible_only);
    void fill_decode_mask_last_query_(int r, const int* positions, int64_t n_raw, int64_t n_keys, int64_t n_comp,
                                      float* mask);
    void ensure_indexer_cache_(int layer) const;
    void indexer_scores_last_query_(int layer, const float* x_last, const float* qlat_last, const float* keys,
                                    int64_t nb, int pos, float* scores);
    // The scoring of indexer_scores_last_query_ once its projections q
    // (heads × dim) and w (heads, scaled in place) are made; q_rot is scratch.
    void indexer_scores_projected_(const float* q, float* q_rot, float* w, const float* keys, int64_t nb, int pos,
                                   float* scores) const;
    static void topk_keep_mask_(int64_t n, int k, const float* scores, char* keep, int* order);
    // (attention helpers go here)
    // compressor_inc_ for a history whose first row is at first_pos: blocks
    // keep their numbers from position 0 after the history slid.
    void compressor_inc_from_(int layer, const std::string& prefix, const float* x_hist, int64_t first_pos,
                              int64_t C, int r, int64_t n_hist, int64_t& covered, std::vector<float>& rows,
                              int64_t& n_done);

    // ---- batched decode --------------------------------------------------
    void multi_seq_init(int n);
    int64_t multi_seq_prefill(int slot, const std::vector<int32_t>& tokens);
    void multi_decode_step(const int* slot_ids, const int* tokens, int n, int* out);
    void batch_begin_(int n);
    void ensure_decode_arena_();
    bool hc_pre_arena_(const float* streams, const GGUFTensor* fn, const GGUFTensor* scale, const GGUFTensor* base,
                       float* x, int64_t n, float** post, float** comb);
    void hc_head_arena_(const float* streams, float* out, int64_t n);
    void grouped_out_batch_(int layer, const float* in, float* out, int n);
    void trim_layer_cache_(LayerCache& c, int keep);
    // (batched-decode helpers go here)
    // Batch rows that can be decoded this step: a distinct slot with its
    // layer caches and a token inside the vocabulary.
    int batch_rows_(const int* slot_ids, const int* tokens, int n, int* row_index);
    void decode_layer_batched_(int il, int B, const std::vector<int32_t>& batch_tokens);
    // The compressed rows the rows' slots completed, for all slots at once.
    void compress_slots_batched_(int il, int ratio, int B);
    // Every row's keys and mask, the rows in parallel; false, with nothing
    // written, when a slot still needs the per-slot route.
    bool keys_masks_batched_(int il, int ratio, int B);
    void expand_rows_(const float* f, const float* streams_in, const float* post, const float* comb,
                      float* streams_out, int B);

    // ---- experts: mixture-of-experts, shared experts ---------------------
    void moe(int il, const std::vector<int32_t>& tokens, const float* x, float* out, int64_t n);
    bool om2_expert_pair_gemv_(int il, int e, const float* x, float* up_out, float* gate_out, int64_t rows,
                               int64_t cols);
    bool om2_expert_gemv_(int il, int e, int proj, const float* x, float* y, int64_t rows, int64_t cols);
    void* ensure_dense_handle(const void* data, uint32_t type, uint64_t nbytes);
    void shared_expert(int il, const float* x, float* out);
    void shared_expert_batch(int il, const float* x, float* out, int64_t n);
    // The routed experts on the CPU and then the shared expert, their up and
    // gate products in one pass of the pool and their down products in
    // another; the sums into out keep the order of the separate routes.
    // False, with out untouched, when a product cannot go this way.
    bool experts_cpu_with_shared_(int il, const FusedExperts& f, const std::vector<int32_t>& experts,
                                  const std::vector<MoeBucket>& buckets, const float* x, float* out, int64_t n);
    // (expert helpers go here)
    // experts: routing, compute paths and prediction
    struct RouterCache {
        std::vector<float> w;    // n_expert × n_embd
        std::vector<float> bias; // n_expert (zeros without a bias tensor)
        bool ready = false;
    };
    FusedExperts fused_experts_(int il) const;
    // Fills the layer's F32 router once; the routing and the oracle share it.
    void ensure_router_cache_(int il) const;
    void moe_router_logits_(int il, const float* x, int64_t n, std::vector<float>& logits);
    void moe_om2_path_(int il, const std::vector<int32_t>& active, const std::vector<MoeBucket>& buckets,
                       const float* x, float* out);
    // The experts it could not compute (to run on the CPU).
    std::vector<int32_t> moe_gpu_path_(int il, const FusedExperts& f, const std::vector<int32_t>& active,
                                       const std::vector<MoeBucket>& buckets, const float* x, float* out);
    void moe_cpu_path_(int il, const FusedExperts& f, const std::vector<int32_t>& experts,
                       const std::vector<MoeBucket>& buckets, const float* x, float* out, int64_t n);
    void cpu_expert_eval_(int il, const FusedExperts& f, int e, const MoeBucket& bucket, const float* x,
                          float* out) const;
    float act_clamp_of_(int il) const;
    int64_t ff_shared_() const;
    void predict_layer_experts_(int il, int token, const float* x, std::vector<int>& out) const;
    void oracle_warm_start_(int token, const float* x);
    void oracle_prefetch_horizon_(int il, int token, const float* h, int horizon);
    void ensure_umbrella_();
    void umbrella_prefetch_(int token, const float* x);
    void apex_observe_expert_(const float* x, int64_t n) const;
    void prefetch_expert_slices_(int il, int e);

    // ---- experts: dense weight walls -------------------------------------
    void ensure_dense_q8_wall_pinned_();
    void pin_layer_dense_q8_(int il);
    void advise_layer_dense_willneed_(int il);
    void ensure_shexp_lm_f32_();
    void ensure_dense_f32_wall_();
    void progressive_f32_cache_layer_(int il);
    // (wall helpers go here)
    static bool is_dense_wall_tensor_(const GGUFTensor* t);
    // An anonymous F32 copy registered in f32_dense: 1 when the tensor has
    // (or already had) one.
    int f32_copy_(const GGUFTensor* t, int64_t rows, int64_t cols, const char* tag);
    void densify_f32_anonymous_(const std::vector<F32WallItem>& items, uint64_t bytes);

    // ---- members, in declaration order -----------------------------------

    std::recursive_mutex mu;
    bool q8_wall_pinned = false;
    std::unordered_map<const void*, F32DenseEntry> f32_dense;
    bool f32_wall_done = false;
    uint64_t f32_bytes = 0;
    void* wall_addr = nullptr;
    uint64_t wall_len = 0;
    int wall_fd = -1;
    std::vector<uint32_t> willneed_calls; // per layer: read-ahead requests since the last one made
    double prof[kProfCount] = {};

    GGUFModel model;
    std::unique_ptr<vm::UvmPipeline> uvm;
    std::unique_ptr<vm::vezev::VezevTileRing> vezev_ring;
    bool core_only = false;
    uint64_t vezev_products = 0;
    uint64_t expert_failures = 0;

    vm::apex::Om2Registry om2;
    bool om2_bound = false;
    bool om2_prefer_only = true;
    bool om2_residual = false;
    int32_t forced_expert = -1;
    uint64_t om2_hits = 0;
    uint64_t om2_misses = 0;
    vm::apex::ActiveSetTracker active_set;
    // (experts: deferral block goes here)
    vm::apex::ExpertDeferralEngine deferral;
    mutable std::vector<RouterCache> router_caches;
    uint64_t routing_skips = 0; // hash entries or token ids outside the table, skipped
    uint64_t prog_f32_budget = 0;
    int32_t prog_f32_count = 0;
    bool oracle_prefetch = false; // forward_one's predictors
    bool umbrella_on = true;
    std::unique_ptr<vm::UmbrellaSwarm> umbrella;
    mutable std::unique_ptr<vm::apex::FirstTouchSketch> sketch;
    mutable uint64_t observed_activations = 0;

    uint64_t mm_count = 0;
    int32_t n_threads = 1;
    std::unordered_map<const void*, void*> dense_buffers; // weight bytes -> bridge buffer (null: refused)
    GpuOps gpu; // the bridge, or a test's stand-in

    DecodeArena arena;
    int32_t batch_n = 0;
    bool arena_ready = false;

    std::vector<LayerCache> caches;
    int64_t n_past = 0;
    // The single-token step's indexer projections in arena.ix_q / ix_w, made
    // for this layer and position (-1: none); the key build takes them once.
    int32_t ix_projected_layer = -1;
    int64_t ix_projected_pos = -1;
    // Projections of the block the single-token step completes, made with
    // its first products: values and gates of the attention (0) and indexer
    // (1) compressors for block comp_projected_block of comp_projected_layer
    // (-1: none); the compressor takes each set once.
    std::vector<float> comp_projected[2][2];
    int32_t comp_projected_layer[2] = {-1, -1};
    int64_t comp_projected_block[2] = {-1, -1};
    // Appends the products of the block completed at position p of layer il
    // (rows of the history, the latest at p) to `out`; how many.
    int block_projections_(int il, int r, const LayerCache& c, int64_t p, RowProduct* out);

    std::vector<MultiSlot> slots;
    int32_t n_slots = 0;
    bool slots_ready = false;

    // hyperparameters
    int32_t n_layer = 0, n_embd = 0, n_head = 0, head_dim = 0, v_dim = 0, n_rot = 0, n_hc = 0;
    int32_t q_rank = 0, o_rank = 0, o_groups = 0, ix_heads = 0, ix_dim = 0, ix_top_k = 0, sliding_window = 0;
    int32_t n_expert = 0, n_expert_used = 0, n_group = 0, n_group_used = 0, n_ff_exp = 0, n_ff_shexp = 0;
    int32_t n_vocab = 0, n_hash_layers = 0, n_ctx_orig = 0;
    float rms_eps = 0, rope_base = 0, freq_scale = 1, yarn_beta_fast = 0, yarn_beta_slow = 0, hc_eps = 0;
    float expert_weights_scale = 0;
    bool expert_weights_norm = false;
    std::vector<int32_t> compress_ratio;
    std::vector<float> act_clamp;
    int32_t expert_shared_count = 1;

    double audit_l0 = 0;
    int32_t audit_clamps = 0;

    bool use_gpu = true;
    bool n1_cpu_only = false;
    bool top1_mode = true;
    bool teal = true;
    float teal_threshold = 0.02f;
    bool sticky = true;
    std::unordered_set<int32_t> sticky_experts;
    std::vector<std::vector<int32_t>> last_experts;
    bool record_routes = false;
    std::vector<std::vector<int32_t>> routes;
    mutable std::vector<IndexerCache> indexer_caches;
    uint64_t routed_total = 0;
    uint64_t active_total = 0;
    double t_attn = 0, t_moe = 0, t_expert = 0;

    std::unique_ptr<vm::ane_dec::DecompressRing> decompress_ring;

private:
    void check_model_();
    // Refuses an empty prompt or a token outside the vocabulary.
    void check_tokens_(const int32_t* tokens, size_t n) const;
    // Head of the pass on the streams of one position: logits and argmax.
    int32_t head_(const float* streams, std::vector<float>* logits);
};

} // namespace vm::zov4
