#pragma once
// One streaming chat turn over a model's multi-sequence slot 0, on the
// calling thread: prompt ids, prefill, then decoding through the batcher with
// each token's text handed to the caller's callback.
#include <atomic>
#include <cstdint>

#include <vm_engine_v2.h>

#include "slot_model.h"

class BPETokenizer;

namespace vivirov {

struct ChatTurnStats {
    size_t prompt_ids = 0;
    uint64_t sched_tokens = 0;
    uint64_t batches = 0;
};

// The prompt's ids: its encoding (ids outside the vocabulary dropped) cut to
// the last 64, or the ids 1..8 when that leaves nothing.
std::vector<int32_t> chat_prompt_ids(const BPETokenizer* tok, const char* prompt, int32_t n_vocab);

// Pieces delivered, or -2 when the prefill failed. A set `stop` ends the turn
// before its next decode step. max_tokens as the caller passed it.
int32_t run_chat_turn(const SlotModel& model, const BPETokenizer* tok, const char* prompt, int32_t max_tokens,
                      ChatPieceCallback cb, void* user, const std::atomic<bool>* stop, ChatTurnStats& stats);

} // namespace vivirov
