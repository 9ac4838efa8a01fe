#include "vm_cabi_v2/active_set_tracker.h"

#include <algorithm>
#include <cmath>

namespace vm::apex {

bool ActiveSetTracker::on_routed(int32_t layer, int32_t expert, uint64_t bytes) {
    const ExpertKey key{layer, expert};
    if (resident_.count(key)) {
        order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
        order_.push_back(key);
        bias.mark_hot(expert);
        return true;
    }
    size_t evicted = 0;
    while ((resident_.size() >= size_t(std::max(max_entries, 0)) || byte_budget < tracked_bytes_ + bytes) &&
           evicted < order_.size()) {
        const ExpertKey old = order_[evicted++];
        if (auto it = resident_.find(old); it != resident_.end()) {
            tracked_bytes_ -= it->second;
            resident_.erase(it);
            bias.erase(old.expert);
        }
    }
    order_.erase(order_.begin(), order_.begin() + std::ptrdiff_t(evicted));
    resident_.emplace(key, bytes);
    tracked_bytes_ += bytes;
    order_.push_back(key);
    bias.mark_hot(expert);
    return false;
}

float ActiveSetTracker::boost() const { return std::log(std::max(boost_alpha, 1.0001f)); }

bool ActiveSetTracker::resident_anywhere(int32_t expert) const {
    for (const auto& [key, bytes] : resident_)
        if (key.expert == expert) return true;
    return false;
}

void ActiveSetTracker::apply_boost(float* sel, int n_expert) const {
    const float lambda = boost();
    for (int e = 0; e < n_expert; ++e)
        if (bias.is_hot(e) || resident_anywhere(e)) sel[e] += lambda;
}

uint64_t ActiveSetTracker::bytes_of(int32_t layer, int32_t expert) const {
    auto it = resident_.find({layer, expert});
    return it == resident_.end() ? 0 : it->second;
}

} // namespace vm::apex
