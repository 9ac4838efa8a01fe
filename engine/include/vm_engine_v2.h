#ifndef VIVIROV_VM_ENGINE_V2_H
#define VIVIROV_VM_ENGINE_V2_H
/*
 * Second-generation in-process engine: a DeepSeek-V4 mixture-of-experts
 * model, a Qwen2-style dense model (fused GPU path or CPU path), or the toy
 * scaffold ("scaffold://no-model", which answers token (t + 1) mod 128), all
 * behind one opaque handle.
 *
 * Asynchronous requests: vivirov_vm_v2_infer_async queues a prompt of token
 * ids and returns at once. One pump thread per engine decodes one token per
 * running request per pass; every request ends after exactly 32 generated
 * tokens. Each token reaches the request's TokenHook on the engine's result
 * thread, and its text reaches the engine's one TokenPieceCallback on the
 * callback thread. A hook result of token -1 with final set means the request
 * ended without a token: it was paused, or the pump halted on a fault
 * (vivirov_vm_v2_pump_status tells which).
 *
 * Conventions of every function here:
 *  - Nothing throws across this header; integer results are 1 success and 0
 *    refusal unless stated, pointers NULL on failure.
 *  - Hooks and piece callbacks must return quickly: a full ring stalls the
 *    stage before it. They may call infer, pause and resume, never destroy.
 *  - Token ids are checked against the model's vocabulary (128 for the
 *    scaffold) at this boundary: an id outside it refuses the whole call.
 *
 * Failure texts (on standard error, one line each; create's also read back by
 * vivirov_vm_v2_last_create_error):
 *  "[vm_v2] engine construction failed (%s) — caller falls back to scaffold"
 *  "[vm_v2] engine construction failed (unknown exception) — caller falls back to scaffold"
 *      with the reason, one of:
 *        "GGUF: ..."                           unreadable or malformed model file
 *        "VMEngineV2: fused path unavailable"  dense model on a GPU without a usable
 *                                              fused path (head width above 64, a
 *                                              failed buffer) and VM_NO_FUSE unset
 *        "ZOV4Forward load failed"             DeepSeek-V4 model that cannot be built
 *        "no model path"                       create(NULL)
 *  "[vm_v2] fused path unavailable — TPS would collapse (fusion_pipelines=%d mmap_bound=%d head_dim=%d) — degrading to scaffold"
 *  "[vm_v2] DeepSeek-V4 model detected but the V4 engine failed to load: %s — degrading to scaffold"
 *  "[vm_v2] GGUF '%s' has no tokenizer.ggml.tokens — decimal fallback"
 *  "[vm_v2] GGUF load failed (%s) — decimal fallback"
 *  "[vm_v2] WARNING: om2 bind failed dir=%s — Core-Only MoE will garble"
 *  "[vm_v2] forward pump fault: %s — inference halted, app stays up"
 *  "[vm_v2] infer_async: agent %u prompt of %u ids keeps its last 64"
 *  "[vm_v2] infer_async: agent %u id %u outside the vocabulary (%d) — refused"
 *  "[vm_v2] chat_generate: not a ZOV4 engine"
 *  "[vm_v2] chat_generate: multi_seq_prefill failed"
 *  "[vm_v2] chat_generate: failed (%s)"                 a decode step raised an error
 *  "[vm_v2] chat_generate: %zu ids outside the vocabulary dropped"
 *  "[vm_v2] bench_batch_tps: failed (%s)"
 *  "[vm_v2] bench_batch_tps: not a ZOV4 engine"
 *  "[vm_v2] prefill failed slot=%d"
 *
 * Environment: the engine reads and writes its switches only through one
 * process-wide lock, so its own setenv never races its getenv. Create, the
 * chat call and the benchmark set VIVIROV_OM2_FORCE, VIVIROV_OM2_QUALITY,
 * VIVIROV_RMS_AUDIT and VIVIROV_GPU_N1 as documented below; the working
 * recipe fills unset defaults once per process. VM_NO_FUSE set: a dense model
 * runs on the CPU path instead of the fused GPU path. Without any Vulkan
 * device a dense model runs on the CPU path as well.
 */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct EngineWrapper EngineWrapper;

/* Per-request token hook, on the result thread: once per generated token,
 * final set on the 32nd; token -1 with final set ends the request early. */
typedef void (*TokenHook)(uint32_t agent_id, int32_t token, bool final, void* ctx);

/* The engine's piece callback, on the callback thread: the token's text
 * (at most 24 bytes, not NUL-terminated, valid only during the call). A piece
 * of a request that ended without a token has length 0. Without a tokenizer
 * the text is the id in decimal followed by one space ("1234 "). */
typedef void (*TokenPieceCallback)(uint32_t agent_id, const char* bytes, uint32_t len, bool final, void* user);

/* The chat call's callback, on the caller's thread. */
typedef void (*ChatPieceCallback)(const char* bytes, int32_t len, void* user);

/* Builds the engine for `path` and starts its three threads; NULL when it
 * cannot be built (the reason is logged and read back by
 * vivirov_vm_v2_last_create_error). Applies the working recipe first. */
EngineWrapper* vivirov_vm_v2_create(const char* path);

/* Stops the pump after its current pass, lets the result and callback threads
 * deliver what is already queued, and frees everything. Requests still active
 * or paused get no further result. NULL is ignored. */
void vivirov_vm_v2_destroy(EngineWrapper* handle);

/* Queues a request of `count` prompt ids (NULL allowed when count is 0: the
 * request then starts from token 0). A prompt of more than 64 ids keeps its
 * last 64 (logged). 1 queued; 0 for a NULL handle, NULL ids with count > 0,
 * an id outside the vocabulary, or a full command ring (1024 commands). */
int32_t vivirov_vm_v2_infer_async(EngineWrapper* handle, uint32_t agent_id, const uint32_t* ids, uint32_t count,
                                  TokenHook hook, void* ctx);

/* Queue a pause or a resume of the agent's first running (paused) request.
 * A paused request gets one result {-1, final} and keeps its state; resume
 * continues it to its 32nd token. 1 queued, 0 for a NULL handle or a full
 * ring. Pausing or resuming an agent with nothing to pause or resume does
 * nothing. */
int32_t vivirov_vm_v2_pause(EngineWrapper* handle, uint32_t agent_id);
int32_t vivirov_vm_v2_resume(EngineWrapper* handle, uint32_t agent_id);

/* Sets (NULL clears) the piece callback; 1, or 0 for a NULL handle. */
int32_t vivirov_vm_v2_register_token_cb(EngineWrapper* handle, TokenPieceCallback cb, void* user);

/* Encodes `text` whole and writes the first min(capacity, count) ids; returns
 * that count, or -1 for a NULL handle, text or output, a capacity below 1, an
 * engine without tokenizer, or a text holding a symbol the vocabulary lacks. */
int32_t vivirov_vm_v2_encode(EngineWrapper* handle, const char* text, uint32_t* out, int32_t capacity);

/* The pause the GPU bridge sleeps after each waited batch; at most 8000 µs. */
void vivirov_vm_v2_set_ui_breath_us(uint32_t us);

/* The pump's state: a pause never halts it; a fault does, for good. */
enum {
    VIVIROV_VM_V2_PUMP_RUNNING = 0,
    VIVIROV_VM_V2_PUMP_HALTED = 1 /* a decode step failed; the text says why */
};

/* VIVIROV_VM_V2_PUMP_* of the engine, or -1 for a NULL handle. When halted
 * and `err` is given with err_len >= 1, copies the fault's text, cut to
 * err_len - 1 bytes and NUL-terminated. */
int32_t vivirov_vm_v2_pump_status(EngineWrapper* handle, char* err, int32_t err_len);

/* Why the calling thread's last vivirov_vm_v2_create returned NULL: copies the
 * reason (cut and NUL-terminated as above) and returns 1; returns 0 with an
 * empty text when that create succeeded or none was made. */
int32_t vivirov_vm_v2_last_create_error(char* err, int32_t err_len);

/* Streaming chat turn on a DeepSeek-V4 engine, on the calling thread: encodes
 * the prompt (its last 64 ids; the ids 1..8 when it yields none), prefills one
 * multi-sequence slot and decodes up to max_tokens (clamped to 1..64) tokens,
 * handing each piece to `cb` (may be NULL). Ends early at token 0 or 1 after
 * the first piece, or within one decode step of vivirov_vm_v2_request_stop.
 * Returns the pieces delivered; -1 for a NULL handle or an engine that is not
 * DeepSeek-V4; -2 when the prefill or a decode step failed. Without a tokenizer a piece reads
 * "[42]". One chat call (or benchmark) at a time per engine. */
int32_t vivirov_vm_v2_chat_generate(EngineWrapper* handle, const char* prompt, int32_t max_tokens,
                                    ChatPieceCallback cb, void* user);

/* Asks the running vivirov_vm_v2_chat_generate on `handle` to end; any
 * thread, the chat callback included. 1 when a call was running, 0 when none
 * (the request is then dropped), -1 for a NULL handle. */
int32_t vivirov_vm_v2_request_stop(EngineWrapper* handle);

/* Fills unset engine switches with their defaults, once per process. */
void vivirov_vm_v2_apply_working_recipe(void);

/* HOME + "/models/DeepSeek-V4-Core/ZOV4-Core-Only.gguf", or "" without HOME;
 * never NULL, valid for the process's life. */
const char* vivirov_vm_v2_core_only_model_path(void);

/* Batched decode throughput of a DeepSeek-V4 engine: B (1..16) copies of a
 * fixed prompt decoded together for n_decode (1..64) steps. 0 on success with
 * the outputs written (each may be NULL); -1 for a NULL handle or another
 * model kind; -2 when a prefill failed (outputs untouched). */
int32_t vivirov_vm_v2_bench_batch_tps(EngineWrapper* handle, int32_t B, int32_t n_decode, double* out_tps,
                                      double* out_wall_s, int32_t* out_tokens);

#ifdef __cplusplus
}
#endif

#endif
