#pragma once
// A continuous batcher over a model's multi-sequence slots: callers make
// slots live and post submissions (from any thread); each step() gathers up
// to 16 ready slots into one batched decode call and retires the slots that
// reached their budget or their stop token. A partial batch waits up to
// 10 ms for companions, except a lone live slot, which decodes at once.
//
// The scheduler owns nothing and allocates nothing: set it up with init()
// as a local object of one call and drop it afterwards. step() and the slot
// table belong to one thread (the caller's); only posting is multi-producer.
#include <atomic>
#include <cstdint>

namespace vm::batch {

inline constexpr int kSubmissionSlots = 256;
inline constexpr int kBatchSlots = 64;
inline constexpr int kMaxBatch = 16;
inline constexpr uint64_t kGatherUs = 10'000;
inline constexpr int32_t kNoStopToken = -999999;

// Microseconds of the monotonic clock.
uint64_t now_us();

struct BatchSubmission {
    int32_t slot = -1;
    int32_t token = 0;
    int32_t max_tokens = 0;
    int32_t stop_token = 0; // carried, not read
    uint64_t ready_us = 0;
    std::atomic<uint32_t> valid{0};
};

struct BatchSlot {
    int32_t id = -1; // its own index while in use
    int32_t in_token = 0;
    int32_t last_token = 0;
    int32_t max_tokens = 0;
    int32_t generated = 0;
    int32_t stop_token = 0;
    uint64_t ready_us = 0; // 0 when not waiting
    uint8_t reserved[8] = {};
    uint8_t live = 0, done = 0, seq = 0; // seq: the model's multi-sequence index
};

class DynBatchScheduler {
public:
    // One batched decode: out[i] = the next token of sequence seqs[i] fed tokens[i].
    using DecodeFn = void (*)(void* ctx, const int* seqs, const int* tokens, int n, int* out);
    using ClockFn = uint64_t (*)();

    // Fresh state: every slot free (taken in the order 0, 1, 2, ...), no
    // submission, counters 0.
    void init(DecodeFn decode, void* ctx, ClockFn clock = &now_us);

    // Takes a free slot and makes it live; -1 when none is free.
    int32_t open_slot(int32_t token, int32_t max_tokens, uint8_t seq);
    // Posts a submission; false when the ring is full (it is dropped).
    bool post(int32_t slot, int32_t token, int32_t max_tokens, uint64_t ready_us);

    // Sequences decoded in this call (0 when none, or still gathering).
    int32_t step();
    // The sum of step() over at most n calls; stops early when nothing is
    // live and no submission waits. A call whose step gathers while no
    // submission waits decodes the ready slots at once: no companion can
    // arrive while the caller is inside this loop.
    int32_t run_until_idle(int n);

    const BatchSlot& slot(int i) const { return slots_[i]; }
    int32_t live() const { return live_; }
    int32_t stop_token() const { return stop_token_; }
    uint64_t now() const { return clock_(); }

    uint64_t steps_ = 0, tokens_ = 0, batches_ = 0, partial_batches_ = 0, full_batches_ = 0;

private:
    bool ring_empty() const;
    int32_t step_(bool gather);

    DecodeFn decode_ = nullptr;
    void* fwd_ = nullptr; // the decode function's model
    ClockFn clock_ = &now_us;
    alignas(64) std::atomic<uint32_t> sub_tail_{0};
    alignas(64) std::atomic<uint32_t> sub_head_{0};
    alignas(64) BatchSubmission subs_[kSubmissionSlots];
    BatchSlot slots_[kBatchSlots];
    uint16_t free_list_[kBatchSlots] = {};
    int32_t free_top_ = 0;
    int32_t live_ = 0;
    uint32_t ready_mask_ = 0;
    int32_t stop_token_ = kNoStopToken;
};

} // namespace vm::batch
