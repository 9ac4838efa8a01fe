#ifndef VIVIROV_VM_ENGINE_H
#define VIVIROV_VM_ENGINE_H
/*
 * First-generation in-process engine: one Qwen2-style dense model from a GGUF
 * file, run on the CPU with full-precision weights, one conversation session
 * whose common prefix is reused across calls, greedy decoding.
 *
 * Every function checks its arguments and never lets an error escape:
 * failures answer NULL or -1 with one line on standard error, and the
 * calling thread can read back why (vm_engine_last_error).
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vm_engine vm_engine;

/* Called once per generated token with its text (NUL-terminated, valid only
 * during the call), on the thread that called vm_engine_infer. It must not
 * call back into the same engine, except to ask it to stop. */
typedef void (*vm_engine_piece_fn)(const char* piece, void* user);

/* Loads the model at `path` (a "GGUF" file). NULL when the path is NULL, the
 * file cannot be opened, is not a GGUF file, or the model cannot be loaded
 * (the reason is logged as "[vm_engine_create] ..."). */
vm_engine* vm_engine_create(const char* path);

/* Encodes `prompt`, runs the positions not shared with the previous call's
 * tokens, then generates at most `max_new_tokens` tokens greedily until a stop
 * token. Returns the number of pieces delivered (also counted when `on_piece`
 * is NULL), or -1 for a NULL engine or prompt or any failure. Calls on one
 * engine are serialised. */
int32_t vm_engine_infer(vm_engine* engine, const char* prompt, int32_t max_new_tokens,
                        vm_engine_piece_fn on_piece, void* user);

/* Releases the engine (NULL is ignored). No call may be running on it. */
void vm_engine_free(vm_engine* engine);

/* Asks the vm_engine_infer running on `engine` to end early. It returns
 * within one token step (one position of the prompt or one generated token)
 * with the count of pieces delivered so far, and its thread's last status
 * reads VM_ENGINE_STOPPED. May be called from any thread, the piece callback
 * included. A request made while no call runs is dropped, so a late stop
 * never cuts the next call short; a call still waiting for the engine is not
 * affected either. Returns 1 when a running call was asked to stop, 0 when
 * none was running, -1 for a NULL engine. */
int32_t vm_engine_request_stop(vm_engine* engine);

/* Outcome of the last vm_engine_create or vm_engine_infer made on the calling
 * thread (VM_ENGINE_OK before any). */
enum {
    VM_ENGINE_OK = 0,      /* it succeeded */
    VM_ENGINE_STOPPED = 1, /* vm_engine_infer ended early at vm_engine_request_stop: "stopped" */
    VM_ENGINE_FAILED = 2   /* it answered NULL or -1; the text says why */
};

/* Returns the calling thread's last outcome (VM_ENGINE_*) and, when `err` is
 * given and `err_len` >= 1, copies its text, cut to err_len - 1 bytes and
 * followed by a zero byte: "" after success, "stopped" after a stop, else the
 * reason ("null engine", "null prompt", "null path", "cannot open <path>",
 * "rejected <path> — not a GGUF file", or the model loader's or the
 * generation's own message). */
int32_t vm_engine_last_error(char* err, int32_t err_len);

/* Offers how many threads (the caller included) the engine's parallel work
 * uses, in all its pools and OpenBLAS; 0 or less keeps one per hardware
 * thread. Only a call made before the engine's first parallel step counts,
 * so the application makes it once where it starts; VIVIROV_ENGINE_THREADS,
 * when set to 1-64, still wins. Returns the count in effect. */
int32_t vm_engine_set_threads(int32_t threads);

#ifdef __cplusplus
}
#endif

#endif
