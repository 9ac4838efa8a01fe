#ifndef VIVIROV_VM_ENGINE_H
#define VIVIROV_VM_ENGINE_H
/*
 * First-generation in-process engine: one Qwen2-style dense model from a GGUF
 * file, run on the CPU with full-precision weights, one conversation session
 * whose common prefix is reused across calls, greedy decoding.
 *
 * Every function checks its arguments and never lets an error escape:
 * failures answer NULL or -1 with one line on standard error.
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vm_engine vm_engine;

/* Called once per generated token with its text (NUL-terminated, valid only
 * during the call), on the thread that called vm_engine_infer. It must not
 * call back into the same engine. */
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

#ifdef __cplusplus
}
#endif

#endif
