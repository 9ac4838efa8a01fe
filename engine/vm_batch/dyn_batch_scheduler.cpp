#include "vm_batch/dyn_batch_scheduler.h"

#include <time.h>

#include <algorithm>

namespace vm::batch {

uint64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000u + uint64_t(ts.tv_nsec) / 1000u;
}

void DynBatchScheduler::init(DecodeFn decode, void* ctx, ClockFn clock) {
    decode_ = decode;
    fwd_ = ctx;
    clock_ = clock ? clock : &now_us;
    sub_tail_.store(0, std::memory_order_relaxed);
    sub_head_.store(0, std::memory_order_relaxed);
    for (auto& s : subs_) {
        s.slot = -1;
        s.valid.store(0, std::memory_order_relaxed);
    }
    for (auto& s : slots_) s = BatchSlot{};
    for (int i = 0; i < kBatchSlots; ++i) free_list_[i] = uint16_t(kBatchSlots - 1 - i);
    free_top_ = kBatchSlots;
    live_ = 0;
    ready_mask_ = 0;
    stop_token_ = kNoStopToken;
    steps_ = tokens_ = batches_ = partial_batches_ = full_batches_ = 0;
}

int32_t DynBatchScheduler::open_slot(int32_t token, int32_t max_tokens, uint8_t seq) {
    if (free_top_ < 1) return -1;
    const int32_t i = free_list_[--free_top_];
    BatchSlot& s = slots_[i];
    s = BatchSlot{};
    s.id = i;
    s.in_token = s.last_token = token;
    s.max_tokens = max_tokens;
    s.stop_token = stop_token_;
    s.ready_us = clock_();
    s.live = 1;
    s.seq = seq;
    live_ += 1;
    return i;
}

bool DynBatchScheduler::post(int32_t slot, int32_t token, int32_t max_tokens, uint64_t ready_us) {
    uint32_t h = sub_head_.load(std::memory_order_acquire);
    for (;;) {
        const uint32_t t = sub_tail_.load(std::memory_order_acquire);
        if (((h + 1) & 0xFFu) == (t & 0xFFu)) return false;
        if (sub_head_.compare_exchange_weak(h, h + 1, std::memory_order_acq_rel)) break;
    }
    BatchSubmission& r = subs_[h % kSubmissionSlots];
    r.slot = slot;
    r.token = token;
    r.max_tokens = max_tokens;
    r.stop_token = stop_token_;
    r.ready_us = ready_us;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    r.valid.store(1, std::memory_order_release);
    return true;
}

bool DynBatchScheduler::ring_empty() const {
    return (sub_tail_.load(std::memory_order_relaxed) & 0xFFu) ==
           (sub_head_.load(std::memory_order_acquire) & 0xFFu);
}

int32_t DynBatchScheduler::step() {
    return step_(true);
}

int32_t DynBatchScheduler::step_(bool gather) {
    struct Taken {
        int32_t slot, token, max_tokens;
        uint64_t ready_us;
    } taken[kMaxBatch];
    int n_taken = 0;
    while (n_taken < kMaxBatch && !ring_empty()) {
        const uint32_t t = sub_tail_.load(std::memory_order_relaxed);
        BatchSubmission& r = subs_[t % kSubmissionSlots];
        if (!r.valid.load(std::memory_order_acquire)) break; // claimed but not yet written
        taken[n_taken++] = {r.slot, r.token, r.max_tokens, r.ready_us};
        r.valid.store(0, std::memory_order_relaxed);
        sub_tail_.store(t + 1, std::memory_order_release);
    }
    for (int i = 0; i < n_taken; ++i) {
        const Taken& r = taken[i];
        if (r.slot < 0 || r.slot >= kBatchSlots || !slots_[r.slot].live) continue;
        BatchSlot& s = slots_[r.slot];
        s.in_token = r.token;
        if (r.max_tokens >= 1) s.max_tokens = r.max_tokens;
        if (s.ready_us == 0) s.ready_us = r.ready_us;
        ready_mask_ |= 1u << (r.slot % 32);
    }

    const uint64_t now = clock_();
    for (int i = 0; i < kBatchSlots; ++i) {
        BatchSlot& s = slots_[i];
        if (!s.live || s.done) continue;
        if (s.generated < s.max_tokens) {
            ready_mask_ |= 1u << (i % 32);
            if (s.ready_us == 0) s.ready_us = now;
        } else {
            s.done = 1;
        }
    }

    int idx[kMaxBatch], seqs[kMaxBatch], tokens[kMaxBatch], out[kMaxBatch];
    int n = 0;
    uint64_t oldest = UINT64_MAX;
    for (int i = 0; i < kBatchSlots && n < kMaxBatch; ++i) {
        const BatchSlot& s = slots_[i];
        if (!(ready_mask_ & (1u << (i % 32))) || !s.live || s.done) continue;
        idx[n] = i;
        seqs[n] = s.seq;
        tokens[n] = s.in_token;
        oldest = std::min(oldest, s.ready_us);
        ++n;
    }
    if (n == 0) return 0;
    const bool go = !gather || n == kMaxBatch || (live_ < 2 && n == 1) || now - oldest >= kGatherUs;
    if (!go) return 0;

    (n == kMaxBatch ? full_batches_ : partial_batches_) += 1;
    batches_ += 1;
    decode_(fwd_, seqs, tokens, n, out);

    for (int k = 0; k < n; ++k) {
        BatchSlot& s = slots_[idx[k]];
        s.in_token = s.last_token = out[k];
        s.generated += 1;
        s.ready_us = 0;
        if (out[k] == s.stop_token || s.generated >= s.max_tokens) {
            s.live = 0;
            s.done = 1;
            live_ = std::max(live_ - 1, 0);
            if (free_top_ < kBatchSlots) free_list_[free_top_++] = uint16_t(idx[k]);
            s.id = -1;
        }
        ready_mask_ &= ~(1u << (idx[k] % 32));
    }
    tokens_ += uint64_t(n);
    steps_ += 1;
    return n;
}

int32_t DynBatchScheduler::run_until_idle(int n) {
    int32_t sum = 0;
    for (int i = 0; i < n; ++i) {
        if (live_ < 1 && ring_empty()) break;
        int32_t got = step_(true);
        if (got == 0 && ring_empty()) got = step_(false);
        sum += got;
    }
    return sum;
}

} // namespace vm::batch
