#pragma once
/*
 * GPU bridge: the engine's quantised and float32 matrix products, the dense
 * decode step's layer operations and the TEAL threshold on a Vulkan compute
 * device, behind flat functions over opaque handles.
 *
 * Conventions of every function here:
 *  - Buffers, batches and shared events cross the boundary as void*. A handle
 *    a function returns carries one reference for the caller, given back with
 *    the matching release function; dense-registry handles are borrowed and
 *    stay valid until process exit (a re-registered key keeps its old buffer
 *    alive, so cached handles never dangle).
 *  - Failures return 0, false or NULL, with at most one "[vmb] " line on
 *    standard error. A false product leaves its result untouched; the caller
 *    then computes on the CPU. Without a usable Vulkan device, init returns 0
 *    with "[vmb] no Vulkan device", every later call fails at once and
 *    silently, and vmb_fusion_available() is false.
 *  - A CPU-type Vulkan device (a software rasteriser) is taken only when
 *    VIVIROV_GPU_ALLOW_CPU=1 (tests, CI).
 *  - Every float32 result copied back to host memory has NaN and infinities
 *    replaced by +0, except the float32 tiled product and the TEAL threshold.
 *  - A failed submission or wait never reads as success: synchronous products
 *    and the TEAL threshold return false, a failed batch commit returns false
 *    without touching its read-back destinations, and a lost device makes the
 *    bridge unavailable for the rest of the process.
 *  - The bridge serves one engine thread at a time (its batch, arena and
 *    scratch buffers are unguarded); the dense registry and the counters may
 *    be used from any thread; shared-event callbacks run on the serial
 *    listener thread "vm.uvm.event".
 *  - Buffer operands are given with a byte offset. Quantised weights may start
 *    at any byte (a row of Q8_0 is a multiple of 34 bytes); float32, int32 and
 *    int8 operands must start at a multiple of 4 bytes. An operand reaching
 *    past the device's largest storage-buffer binding fails the call.
 *
 * Matrix layout of every product: C (M×N) = A (M×K, weight rows; float32 or
 * GGML blocks: Q4_K 256 weights in 144 bytes, Q5_0 32 in 22, Q8_0 32 in 34,
 * Q6_K 256 in 210) · B (K×N float32, element (k, n) at k·N + n). Type ids are
 * GGML's: 6 Q5_0, 8 Q8_0, 12 Q4_K, 14 Q6_K.
 *
 * Environment switches, each read once per process at first use:
 *  VIVIROV_GPU_N1      small-N products (1 ≤ N ≤ 7) on the 8×8 tile paths;
 *                      on unless set to a text starting with "0".
 *  VIVIROV_FUSED_LANE  fused-lane products; same rule.
 *  VIVIROV_FAST_BENCH  dense registry refuses owned copies above 1 MiB.
 */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Runtime
 * ------------------------------------------------------------------------ */

/* 1 when the bridge is ready, else 0. The first call does the work (device,
 * shader modules, pipelines, a 448 MiB host-visible arena) and logs what it
 * found; a failed first call is never retried and later calls are silent. */
int vm_gpu_bridge_init(void);

/* Initialises on demand; true when the dense forward kernels and the four
 * per-element quantised kernels were all built. */
bool vmb_fusion_available(void);

/* Wraps page-aligned host memory (ptr and len multiples of the page size)
 * without copying, by host-memory import; the memory must stay mapped for the
 * life of the buffer. NULL for a NULL pointer or zero length (silently), for
 * unaligned memory ("[vmb] nocopy: ptr/len not page-aligned ...") or when the
 * device cannot import it. */
void* vm_gpu_buffer_nocopy(void* ptr, size_t len);
void vm_gpu_buffer_release(void* buf);

/* A new host-visible buffer of n bytes (contents not cleared); NULL for 0. */
void* vmb_persistent_alloc(size_t n);
void vmb_persistent_free(void* buf);
/* The buffer's CPU address, NULL for a NULL buffer. */
void* vmb_persistent_contents(void* buf);

/* Wraps the wired expert ring as vm_gpu_buffer_nocopy does and remembers it
 * as the bridge's ring (replacing and releasing an earlier one); the result
 * carries its own reference for the caller. */
void* vmb_register_uvm_ring(void* base, size_t len);

/* Recycles the whole arena of operand and result slots. The batch owner calls
 * it before vmb_command_buffer_begin. */
void vmb_arena_reset(void);

/* Batching: a caller that finds vmb_command_buffer_handle() NULL owns the
 * batch: it resets the arena, begins, encodes its operations and commits.
 * Products encoded while a batch is open return at once; their results reach
 * host memory (sanitised) only at the commit. Batches do not nest: a second
 * begin keeps the first batch. */
void vmb_command_buffer_begin(void);
/* Submits the batch's command buffers, waits, sleeps the UI breath pause and
 * copies the deferred read-backs in order. Returns true when the batch ran (or
 * none was open); false when submission or the wait failed: then no read-back
 * is copied and the owner recomputes on the CPU. */
bool vmb_command_buffer_commit_and_wait(void);
void* vmb_command_buffer_handle(void);
/* A compute-to-compute memory barrier in the open batch; nothing otherwise. */
void vmb_barrier(void);

/* GPU wait on / signal of a shared event's value at this point of the batch
 * (cb NULL or the open batch's handle). Work encoded after the call lies behind
 * it. Callers ask vmb_supports_gpu_fences() first. */
void vmb_command_buffer_encode_wait(void* cb, void* event, uint64_t value);
void vmb_command_buffer_encode_signal(void* cb, void* event, uint64_t value);
/* False on devices whose name contains "Apple M"; never initialises. */
bool vmb_supports_gpu_fences(void);

/* Shared events are timeline semaphores. */
void* vmb_shared_event_create(void);
void vmb_shared_event_release(void* ev);
/* Raises the event's value from the CPU; a value not above the current one is
 * ignored (a timeline only grows). */
void vmb_shared_event_signal(void* ev, uint64_t value);
/* Calls fn(current value, ctx) once on the "vm.uvm.event" thread when the event
 * reaches value. Nothing happens before the first event was created. */
void vmb_shared_event_notify(void* ev, uint64_t value, void (*fn)(uint64_t value, void* ctx), void* ctx);

/* Replaces every NaN and infinity among p[0..n) by +0. */
void vmb_sanitize_f32(float* p, size_t n);
/* Microseconds slept after each synchronous GPU wait, at most 8000. */
void vmb_set_ui_breath_us(uint32_t us);

/* ---------------------------------------------------------------------------
 * Matrix products. A and B are each a bridge buffer with a byte offset, or a
 * host pointer (the buffer wins when both are given); C is a host pointer.
 * ------------------------------------------------------------------------ */

/* Float32 product, always synchronous in its own submission even inside a
 * batch, not sanitised. 1 when c holds the result. */
int vm_gpu_matmul(void* a_buf, size_t a_off, const float* a_host, void* b_buf, size_t b_off,
                  const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N);

/* Typed quantised products: the fused-lane and 8×8 tile paths where they
 * apply, else the row-tiled (1 ≤ N ≤ 16) or per-element kernels. True when c
 * holds the result, or, inside a batch, when the product is encoded with its
 * read-back queued (c must stay valid until the commit). a_bytes is the byte
 * length of a host-given A (M rows). */
bool vm_gpu_matmul_q4_k(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf,
                        size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N);
bool vm_gpu_matmul_q5_0(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf,
                        size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N);
bool vm_gpu_matmul_q8_0(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf,
                        size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N);
bool vm_gpu_matmul_q6_k(void* a_buf, size_t a_off, const void* a_host, size_t a_bytes, void* b_buf,
                        size_t b_off, const float* b_host, float* c, uint32_t M, uint32_t K, uint32_t N);

/* 8×8 tile products for the expert block (types 8, 12, 14); they count no hit.
 * _q_sg is synchronous; _batched encodes into an open batch (synchronous
 * without one); _batched_zc reads the weights in place from a_buf at a_off,
 * or from the registered ring when a_buf is NULL. */
bool vm_gpu_matmul_q_sg(uint32_t type, const void* a_host, size_t a_bytes, const float* b, float* c, uint32_t M,
                        uint32_t K, uint32_t N);
bool vm_gpu_matmul_q_sg_batched(uint32_t type, const void* a_host, size_t a_bytes, const float* b, float* c,
                                uint32_t M, uint32_t K, uint32_t N);
bool vm_gpu_matmul_q_sg_batched_zc(uint32_t type, void* a_buf, size_t a_off, size_t a_bytes, const float* b,
                                   float* c, uint32_t M, uint32_t K, uint32_t N);

/* Dense-path product inside the open batch, all operands bridge buffers:
 * Y (M×N) = W (M×K, GGML rows of `type`) · X (K×N). Encode-only, adds no
 * trailing barrier; false (nothing encoded) without an open batch or for an
 * unsupported type. _sg is the 8×8 tile form (types 12 and 14, K a multiple
 * of 256). */
bool vmb_f_matmul(uint32_t type, void* w_buf, size_t w_off, void* x_buf, size_t x_off, void* y_buf, size_t y_off,
                  uint32_t M, uint32_t K, uint32_t N);
bool vmb_f_matmul_sg(uint32_t type, void* w_buf, size_t w_off, void* x_buf, size_t x_off, void* y_buf,
                     size_t y_off, uint32_t M, uint32_t K, uint32_t N);

/* Zeroes every x[i] with |x[i]| <= epsilon, synchronously (ignores an open
 * batch), and stores the survivors' count in nnz_out (may be NULL). False for
 * n = 0 or a failed submission (x and nnz_out untouched). */
bool vm_gpu_teal_threshold(float* x, uint32_t n, float epsilon, uint32_t* nnz_out);

/* Matrix path counters: products run on a tile or fused-lane path (hits) and
 * products sent to a per-element or row-tiled kernel or failed on the GPU
 * (misses). Either pointer may be NULL; needs no initialised bridge. */
void vmb_sg_stats(uint64_t* hits, uint64_t* misses);

/* ---------------------------------------------------------------------------
 * Dense decode step: one dispatch each into the open batch, no barrier; they
 * do nothing without an open batch or when their kernel was not built.
 * Separate dependent operations with vmb_barrier().
 * ------------------------------------------------------------------------ */

void vmb_f_rmsnorm(void* x, size_t x_off, void* w, size_t w_off, void* out, size_t out_off, uint32_t n, float eps);
/* Rotary embedding (split-half pairs) of `heads` heads at position pos, the
 * bias (when given and has_bias) added first; in and out may be the same. */
void vmb_f_rope(void* in, size_t in_off, void* bias, size_t bias_off, uint32_t has_bias, void* out, size_t out_off,
                uint32_t heads, uint32_t head_dim, uint32_t pos, float theta);
void vmb_f_addbias(void* in, size_t in_off, void* bias, size_t bias_off, uint32_t has_bias, void* out,
                   size_t out_off, uint32_t n);
/* Grouped-query attention over cnt cached rows of kv_dim floats; `group` query
 * heads per key/value head. Encodes nothing when head_dim exceeds 128. */
void vmb_f_attention(void* q, size_t q_off, void* k_cache, size_t k_off, void* v_cache, size_t v_off, void* out,
                     size_t out_off, uint32_t cnt, uint32_t head_dim, uint32_t kv_dim, uint32_t group,
                     uint32_t n_heads);
void vmb_f_silu(void* gate, size_t gate_off, void* up, size_t up_off, void* out, size_t out_off, uint32_t n);
/* x += y */
void vmb_f_residual(void* x, size_t x_off, void* y, size_t y_off, uint32_t n);
/* out (u32) = the lowest index of the largest logit; 0 when none exceeds -inf. */
void vmb_f_argmax(void* logits, size_t logits_off, void* out, size_t out_off, uint32_t n);
/* Q (int8[Kpad]) = X scaled by 127/max|X| and rounded half away from zero,
 * zeros past K; sx (float) = max|X|/127, or 1 for an all-zero X. */
void vmb_f_quantize_int8(void* x, size_t x_off, void* q, size_t q_off, void* sx, size_t sx_off, uint32_t K,
                         uint32_t Kpad);
/* BiLLM 1.08-bit product: a dense sign plane B1 (inPad/8 bytes per row) and a
 * salient sign plane B2 over salCols; out (float[M]) and the two int32
 * accumulators Acc1, Acc2. */
void vmb_f_billm(void* b1, size_t b1_off, void* xq, size_t xq_off, void* sx, size_t sx_off, void* alpha,
                 size_t alpha_off, void* beta, size_t beta_off, void* sal_cols, size_t sal_off, void* b2, size_t b2_off,
                 void* out, size_t out_off, void* acc1, size_t acc1_off, void* acc2, size_t acc2_off, uint32_t M,
                 uint32_t in_pad, uint32_t n_sal);

/* ---------------------------------------------------------------------------
 * Dense weight registry: named weight buffers, any thread, at most 8192 keys.
 * ------------------------------------------------------------------------ */

typedef struct DenseRegistration {
    const char* key;
    const void* data;
    uint64_t nbytes;
    uint32_t type; /* GGML type id, recorded unchanged */
} DenseRegistration;

/* Registers each record in order: page-aligned data is imported without a
 * copy, other data copied into a buffer of the registry's own. NULL on
 * success; otherwise the failing record's key ("(empty batch)", "(null key)"),
 * records before it staying registered. */
const char* vm_gpu_register_dense_batch(const DenseRegistration* entries, size_t count);
/* One record through the batch function; the borrowed buffer, or NULL. */
void* vm_gpu_register_dense(const char* key, const void* data, uint64_t nbytes, uint32_t type);
/* The borrowed buffer registered under key, or NULL; never initialises. */
void* vm_gpu_dense_handle(const char* key);

#ifdef __cplusplus
}
#endif
