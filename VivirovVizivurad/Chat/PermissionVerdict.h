#pragma once
#include <future>
#include <mutex>

namespace vivirov {

// A one-shot Bool handed from whoever decides (the GUI thread, a stop
// request) to one waiting caller. The first delivery wins; later ones do
// nothing. Dropped undelivered, the waiting future reports a broken promise,
// which the caller reads as a refusal.
class PermissionVerdict {
public:
    PermissionVerdict() : future_(promise_.get_future()) {}

    // Any thread. True when this call delivered the value.
    bool deliver(bool approved) {
        std::lock_guard lock(mutex_);
        if (delivered_) return false;
        delivered_ = true;
        promise_.set_value(approved);
        return true;
    }
    bool delivered() const {
        std::lock_guard lock(mutex_);
        return delivered_;
    }
    // Taken once, by the waiting caller.
    std::future<bool> takeFuture() { return std::move(future_); }

private:
    mutable std::mutex mutex_;
    bool delivered_ = false;
    std::promise<bool> promise_;
    std::future<bool> future_;
};

} // namespace vivirov
