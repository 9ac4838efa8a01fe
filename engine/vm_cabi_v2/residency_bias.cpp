#include "vm_cabi_v2/residency_bias.h"

namespace vm::apex {

void ResidencyBias::mark_hot(int32_t expert) {
    std::lock_guard lock(mu_);
    hot_.insert(expert);
    if (auto it = mark_pos_.find(expert); it != mark_pos_.end()) marks_.erase(it->second);
    marks_.push_back(expert);
    mark_pos_[expert] = std::prev(marks_.end());
    while (hot_.size() > size_t(capacity_ < 0 ? 0 : capacity_) && !marks_.empty()) {
        const int32_t oldest = marks_.front();
        marks_.pop_front();
        mark_pos_.erase(oldest);
        hot_.erase(oldest);
    }
}

bool ResidencyBias::is_hot(int32_t expert) const {
    std::lock_guard lock(mu_);
    return hot_.count(expert) != 0;
}

void ResidencyBias::apply(float* scores, int count, float factor) const {
    std::lock_guard lock(mu_);
    for (int i = 0; i < count; ++i)
        if (hot_.count(i)) scores[i] = factor * scores[i];
}

void ResidencyBias::erase(int32_t expert) {
    std::lock_guard lock(mu_);
    erase_locked(expert);
}

void ResidencyBias::erase_locked(int32_t expert) {
    hot_.erase(expert);
    if (auto it = mark_pos_.find(expert); it != mark_pos_.end()) {
        marks_.erase(it->second);
        mark_pos_.erase(it);
    }
}

void ResidencyBias::set_capacity(int32_t capacity) {
    std::lock_guard lock(mu_);
    capacity_ = capacity;
}

int32_t ResidencyBias::capacity() const {
    std::lock_guard lock(mu_);
    return capacity_;
}

size_t ResidencyBias::hot_count() const {
    std::lock_guard lock(mu_);
    return hot_.size();
}

size_t ResidencyBias::mark_order_size() const {
    std::lock_guard lock(mu_);
    return marks_.size();
}

} // namespace vm::apex
