#pragma once
// A projection pack of K shared basis vectors of length d, stored densely or
// as codes into a codebook of L-float codewords (M codes per basis), and one
// row of K coefficients per (expert, slice). A weight vector is the bases
// times its coefficient row.
//
// Quantised bases are expanded to floats once, on first use, and kept; the
// expansion is guarded so that two first users neither fill the buffer twice
// nor read it half filled.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vm::vezev {

struct VezevProjPack {
    int K = 0;
    int d = 0;
    int experts = 0;
    int slices = 0;
    bool quantised = false;
    int L = 1;
    int M = 1;
    std::vector<float> bases;        // d × K, element (l, k) at l·K + k
    std::vector<float> coefficients; // (experts · slices) rows of K
    std::vector<uint8_t> codes;      // K × M
    std::vector<float> codebook;     // codeword c at c·L

    VezevProjPack() = default;
    ~VezevProjPack() { release(); }
    VezevProjPack(const VezevProjPack&) = delete;
    VezevProjPack& operator=(const VezevProjPack&) = delete;

    // Fills the expanded bases once (64-byte aligned, max(d,1)·max(K,1)
    // floats); codeword floats landing past d are dropped.
    void ensure_vq_expanded_() const;
    // The d × K bases: the expanded ones for a quantised pack with codes and
    // a codebook, else the dense ones; null when there are none.
    const float* dense_bases_ptr() const;
    // out (d floats) = bases · coefficient row (expert, slice), summed in
    // double; zeros when the row or the bases are missing.
    void reconstruct_flat(int expert, int slice, float* out) const;
    // Frees the expanded bases.
    void release();

    bool expanded() const { return expanded_flag_.load(std::memory_order_acquire); }
    size_t expanded_bytes() const { return expanded_bytes_; }

private:
    mutable std::mutex expand_mu_;
    mutable std::atomic<bool> expanded_flag_{false};
    mutable float* expanded_ = nullptr;
    mutable size_t expanded_bytes_ = 0;
};

} // namespace vm::vezev
