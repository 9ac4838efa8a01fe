#pragma once
// The "hot" expert ids of a model: ids recently routed, under a capacity.
// When the set outgrows its capacity, the id whose latest mark is oldest
// leaves first. The mark order keeps one entry per id (its latest mark), so
// it stays bounded by the ids in use however often one id is marked.
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace vm::apex {

class ResidencyBias {
public:
    void mark_hot(int32_t expert);
    bool is_hot(int32_t expert) const;
    // scores[i] *= factor for every i < count that is hot.
    void apply(float* scores, int count, float factor) const;
    // Drops the id from the hot set (the tracker's eviction).
    void erase(int32_t expert);

    void set_capacity(int32_t capacity);
    int32_t capacity() const;
    size_t hot_count() const;
    size_t mark_order_size() const;

private:
    void erase_locked(int32_t expert);

    mutable std::mutex mu_;
    std::unordered_set<int32_t> hot_;
    std::list<int32_t> marks_; // oldest first, one entry per id
    std::unordered_map<int32_t, std::list<int32_t>::iterator> mark_pos_;
    int32_t capacity_ = 64;
};

} // namespace vm::apex
