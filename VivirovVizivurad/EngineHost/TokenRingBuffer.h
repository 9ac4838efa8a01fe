#pragma once
#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

namespace vivirov {

// A fixed-capacity first-in-first-out ring between engine threads and the
// GUI thread's drain. It never grows: a push into a full ring is refused
// (the oldest items stay) and counted in droppedCount().
template <class T>
class TokenRingBuffer {
public:
    explicit TokenRingBuffer(int capacity) : capacity_(std::max(2, capacity)), storage_(size_t(capacity_)) {}

    bool push(T item) {
        std::lock_guard lock(mutex_);
        if (count_ == capacity_) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        storage_[size_t(tail_)] = std::move(item);
        tail_ = (tail_ + 1) % capacity_;
        ++count_;
        return true;
    }

    // Everything held, oldest first; the ring is empty afterwards.
    std::vector<T> drainAll() {
        std::lock_guard lock(mutex_);
        std::vector<T> out;
        out.reserve(size_t(count_));
        for (; count_ > 0; --count_) {
            auto& slot = storage_[size_t(head_)];
            if (slot) out.push_back(std::move(*slot));
            slot.reset();
            head_ = (head_ + 1) % capacity_;
        }
        return out;
    }

    bool isEmpty() const {
        std::lock_guard lock(mutex_);
        return count_ == 0;
    }
    int capacity() const { return capacity_; }
    // A monitoring figure, read without the lock.
    int droppedCount() const { return dropped_.load(std::memory_order_relaxed); }

private:
    const int capacity_;
    std::vector<std::optional<T>> storage_;
    int head_ = 0;
    int tail_ = 0;
    int count_ = 0;
    mutable std::mutex mutex_;
    std::atomic<int> dropped_{0};
};

} // namespace vivirov
