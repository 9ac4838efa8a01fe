#pragma once
// The batch throughput run over a model's multi-sequence slots: B copies of
// one prompt prefilled, then decoded together through the batcher, with the
// "[vm_v2][BB]" trace on standard error (flushed line by line).
#include <cstdint>
#include <vector>

#include "slot_model.h"

class BPETokenizer;

namespace vivirov {

struct BatchBenchResult {
    double tps = 0;
    double wall_s = 0;
    int32_t tokens = 0;
};

// B clamped to 1..16, and to 1 in minimal mode (logged).
int32_t bench_batch_size(int32_t B);

// The fixed prompt's ids (13 ids 0, 100, ..., 1200 without a tokenizer or
// encoding), resized by VIVIROV_PREFILL_TOKENS; *raw is the count before.
std::vector<int32_t> bench_prompt_ids(const BPETokenizer* tok, int32_t n_vocab, int32_t* raw, int32_t* cap,
                                      int32_t* prefill_tokens);

// 0, or -2 when a prefill failed (result untouched). B and n_decode as clamped
// by the caller. The model's slots are set up for B sequences first.
int32_t run_batch_bench(const SlotModel& model, const BPETokenizer* tok, int32_t B, int32_t n_decode,
                        BatchBenchResult& result);

} // namespace vivirov
