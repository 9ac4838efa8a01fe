#pragma once
// What the chat call and the batch benchmark need of a model with
// multi-sequence slots: set the slots up, prefill one, and decode a batch.
// The DeepSeek-V4 forward object provides it (zov4_slot_model); tests give a
// scripted one.
#include <cstdint>
#include <vector>

#include "../vm_batch/dyn_batch_scheduler.h"

namespace vivirov {

struct SlotModel {
    void* ctx = nullptr;
    void (*init)(void* ctx, int n_slots) = nullptr;
    // The first generated token, or negative on failure.
    int64_t (*prefill)(void* ctx, int slot, const std::vector<int32_t>& ids) = nullptr;
    vm::batch::DynBatchScheduler::DecodeFn decode = nullptr;
    // Optional: clears the model's profile timers before a timed run.
    void (*reset_profile)(void* ctx) = nullptr;
    int32_t n_vocab = 0; // ids at or above it are never fed
};

} // namespace vivirov
