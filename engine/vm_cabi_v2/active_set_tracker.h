#pragma once
// The (layer, expert) pairs believed resident, least recently routed first,
// under a count limit and a byte budget, with the hot expert ids beside them.
// The mixture-of-experts routing adds a fixed boost to experts that are hot
// or resident. Not locked: the map and order are touched only by the thread
// that runs the mixture-of-experts layer (and the om2 prewarm at set-up).
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "residency_bias.h"

namespace vm::apex {

struct ExpertKey {
    int32_t layer = 0;
    int32_t expert = 0;
    bool operator==(const ExpertKey&) const = default;
};

struct ExpertKeyHash {
    size_t operator()(const ExpertKey& k) const {
        return size_t(int64_t(k.layer) * 1315423911LL + int64_t(k.expert));
    }
};

class ActiveSetTracker {
public:
    int32_t max_entries = 64;
    uint64_t byte_budget = 1610612736ULL; // 1.5 GiB
    float boost_alpha = 1.08f;
    ResidencyBias bias;

    // Records a use of (layer, expert) needing about `bytes`; true when the
    // pair was already resident (its stored bytes stay as they were).
    bool on_routed(int32_t layer, int32_t expert, uint64_t bytes);

    // ln(max(boost_alpha, 1.0001)) in single precision.
    float boost() const;
    // Adds boost() to sel[e] for every expert that is hot or resident in
    // any layer.
    void apply_boost(float* sel, int n_expert) const;
    bool resident_anywhere(int32_t expert) const;

    uint64_t tracked_bytes() const { return tracked_bytes_; }
    size_t size() const { return resident_.size(); }
    bool contains(int32_t layer, int32_t expert) const { return resident_.count({layer, expert}) != 0; }
    uint64_t bytes_of(int32_t layer, int32_t expert) const;

private:
    std::unordered_map<ExpertKey, uint64_t, ExpertKeyHash> resident_;
    std::vector<ExpertKey> order_; // least recently routed first
    uint64_t tracked_bytes_ = 0;
};

} // namespace vm::apex
