#include "vm_cabi_v2/slice_event.h"

#include <chrono>
#include <vector>

#include "vm_gpu.h"

namespace vm {

SliceEvent::~SliceEvent() {
    if (gpu_) vmb_shared_event_release(gpu_);
}

uint64_t SliceEvent::value() const {
    std::lock_guard lock(mu_);
    return value_;
}

void SliceEvent::signal(uint64_t v) {
    std::vector<std::pair<Callback, void*>> due;
    uint64_t now;
    {
        std::lock_guard lock(mu_);
        if (v <= value_) return;
        value_ = v;
        if (gpu_) vmb_shared_event_signal(gpu_, v);
        now = value_;
        auto end = waiters_.upper_bound(v);
        for (auto it = waiters_.begin(); it != end; ++it) due.push_back(it->second);
        waiters_.erase(waiters_.begin(), end);
    }
    cv_.notify_all();
    for (auto& [fn, ctx] : due) fn(now, ctx);
}

void SliceEvent::notify(uint64_t target, Callback fn, void* ctx) {
    if (gpu_) {
        // The GPU raises the event too: only the bridge sees every signal.
        vmb_shared_event_notify(gpu_, target, fn, ctx);
        return;
    }
    uint64_t now;
    {
        std::lock_guard lock(mu_);
        if (value_ < target) {
            waiters_.emplace(target, std::make_pair(fn, ctx));
            return;
        }
        now = value_;
    }
    fn(now, ctx);
}

bool SliceEvent::wait(uint64_t target, int timeout_ms) const {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return value_ >= target; });
}

} // namespace vm
