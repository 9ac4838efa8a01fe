#pragma once
/*
 * Agent swarm services of the engine: the swarm KV paging diagnostic, and
 * (on a second-generation engine handle) the synthetic swarm step, draft
 * verification, LoRA adapter registration and KV paging.
 *
 * Conventions: every function checks its pointers and arguments and answers
 * with the value each comment gives instead of failing; no exception crosses
 * this boundary; nothing here is called back.
 */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Swarm KV paging diagnostic
 * ------------------------------------------------------------------------ */

/* One diagnostic run's figures: 88 bytes, little-endian, naturally aligned. */
typedef struct VMSwarmStats {
    uint64_t blob_bytes;      /* bytes of one agent's blob */
    int32_t n_agents;
    int32_t cycles;           /* cycles run */
    int32_t resident_slots;   /* in-memory slots (2) */
    int32_t reserved0;
    uint64_t pages_out;       /* page-outs over all cycles */
    double mb_paged_out;      /* pages_out × blob_bytes / 1e6 */
    double wall_s;            /* seconds of all cycles */
    double compute_s;         /* seconds in the per-agent work */
    double io_wait_s;         /* seconds waiting for the next agent's blob */
    double io_wait_pct;       /* io_wait_s × 100 / wall_s, 0 when wall_s ≤ 0 */
    int32_t peak_concurrency; /* most per-agent calls seen running at once */
    int32_t engine_backed;    /* 1 when the per-agent work is a forward pass; 0 here */
    int32_t ok;               /* 1 when every cycle ran and every transfer moved the whole blob */
    int32_t reserved1;
} VMSwarmStats;

/* Bytes of one agent's KV blob in the KIVI layout of the default 28-layer
 * model (2 KV heads of 128 values): per layer w × 1024 + tokens × 128 +
 * (n_out × 16 + 32) × tokens, where w is the window clamped to 0..tokens, all
 * × 28, plus 468. 0 when tokens < 1; negative n_out counts as 0. */
uint64_t vmswarm_kivi_blob_bytes(int32_t tokens, int32_t window, int32_t n_out);

/* Pages n_agents blobs of vmswarm_kivi_blob_bytes(tokens, window, n_out)
 * through a private, preallocated swap file under /tmp (named
 * "vm_hud.agent_swap.XXXXXX", removed before returning) with two in-memory
 * slots, for `cycles` cycles of a light per-agent read, and fills *out.
 * Returns 0 when the cycles ran (out->ok is 0 if any read or write failed or
 * came up short), 1 for a null out or n_agents, tokens or cycles below 1 (out
 * zeroed), 2 when the swap file or the slot buffers cannot be made (out keeps
 * blob_bytes, n_agents, cycles and resident_slots; ok 0). */
int32_t vmswarm_run_paging_diagnostic(int32_t n_agents, int32_t tokens, int32_t window, int32_t n_out,
                                      int32_t cycles, VMSwarmStats* out);

/* ---------------------------------------------------------------------------
 * Swarm services on a second-generation engine handle (vm_engine_v2.h). They
 * run on the caller's thread, serialised with the engine's own dense steps.
 * A DeepSeek-V4 engine refuses the swarm step and draft verification: they
 * would decode into the running requests' shared state.
 * ------------------------------------------------------------------------ */

typedef struct EngineWrapper EngineWrapper;

/* One decode step per listed agent on a temporary sequence from token 0 at
 * position 0 (a load generator); whatever it stored is given back. Returns
 * the tokens processed (n), or 0 for a NULL handle or list, n < 1, a
 * DeepSeek-V4 engine or a failed step ("[vm_v2] swarm step failed: %s"). */
int32_t vmb_forward_swarm(EngineWrapper* handle, const uint32_t* agent_ids, int32_t n);

/* Feeds the n draft tokens of `agent` one by one and stores in *accepted how
 * many the model itself would have produced: the first always, then each
 * that equals the prediction after the one before; stops at the first
 * mismatch. A draft longer than a GPU slot's 128 positions is checked on the
 * CPU path. Returns 0; -1 with *accepted 0 for a NULL handle or draft, n < 1,
 * an id outside the vocabulary, a DeepSeek-V4 engine, or a failed step
 * ("[vm_v2] draft verification failed: %s"). accepted may be NULL. */
int32_t vmb_forward_verify_draft(EngineWrapper* handle, uint32_t agent, const uint32_t* draft, int32_t n,
                                 int32_t* accepted);

/* Stores a LoRA adapter (A: rank × in_dim floats, B: rank × out_dim floats,
 * copied; NULL stores zeros) for the agent, replacing its earlier mapping.
 * No decode path applies adapters. Returns the adapter's index (0, 1, …);
 * -1 for a NULL handle or a negative dimension. */
int32_t vmb_register_lora_agent_mem(EngineWrapper* handle, int32_t agent, const float* A, const float* B,
                                    int32_t in_dim, int32_t out_dim, int32_t rank, float scale);

/* Read or write `bytes` bytes of the agent's saved KV blob through the
 * engine's KV pager: 0 done, 1 failed, 3 refused. The engine opens no pager,
 * so every call answers 3. */
int32_t vmb_kv_page_in(EngineWrapper* handle, int32_t agent, void* dst, int32_t bytes);
int32_t vmb_kv_page_out(EngineWrapper* handle, int32_t agent, const void* src, int32_t bytes);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(VMSwarmStats) == 88, "VMSwarmStats is shared with the app: 88 bytes");
static_assert(offsetof(VMSwarmStats, blob_bytes) == 0 && offsetof(VMSwarmStats, n_agents) == 8 &&
                  offsetof(VMSwarmStats, cycles) == 12 && offsetof(VMSwarmStats, resident_slots) == 16 &&
                  offsetof(VMSwarmStats, reserved0) == 20 && offsetof(VMSwarmStats, pages_out) == 24 &&
                  offsetof(VMSwarmStats, mb_paged_out) == 32 && offsetof(VMSwarmStats, wall_s) == 40 &&
                  offsetof(VMSwarmStats, compute_s) == 48 && offsetof(VMSwarmStats, io_wait_s) == 56 &&
                  offsetof(VMSwarmStats, io_wait_pct) == 64 && offsetof(VMSwarmStats, peak_concurrency) == 72 &&
                  offsetof(VMSwarmStats, engine_backed) == 76 && offsetof(VMSwarmStats, ok) == 80 &&
                  offsetof(VMSwarmStats, reserved1) == 84,
              "VMSwarmStats field offsets are shared with the app");
#endif
