#include "vm_cabi_v2/vezev_proj_pack.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/engine_log.h"

namespace vm::vezev {

void VezevProjPack::ensure_vq_expanded_() const {
    if (expanded_flag_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(expand_mu_);
    if (expanded_flag_.load(std::memory_order_relaxed) && expanded_) return;
    const size_t n = size_t(std::max(d, 1)) * size_t(std::max(K, 1));
    const size_t bytes = n * sizeof(float);
    if (!expanded_) {
        const size_t rounded = (bytes + 63) / 64 * 64;
        expanded_ = static_cast<float*>(std::aligned_alloc(64, rounded));
        if (!expanded_) throw std::bad_alloc();
        expanded_bytes_ = bytes;
    }
    std::memset(expanded_, 0, bytes);
    const int l_len = std::max(L, 1), m_len = std::max(M, 1);
    for (int k = 0; k < K; ++k) {
        for (int j = 0; j < m_len; ++j) {
            const size_t ci = size_t(k) * size_t(m_len) + size_t(j);
            if (ci >= codes.size()) continue;
            const size_t c = codes[ci];
            for (int m = 0; m < l_len; ++m) {
                const int l = j * l_len + m;
                const size_t src = c * size_t(l_len) + size_t(m);
                if (l < d && src < codebook.size()) expanded_[size_t(l) * size_t(K) + size_t(k)] = codebook[src];
            }
        }
    }
    expanded_flag_.store(true, std::memory_order_release);
    log_line("[vezev] VQ bases expanded ONCE (proj cache): K=%d d=%d → %.2f MB (no re-expand per GEMV)", K, d,
             double(bytes) / 1048576.0);
}

const float* VezevProjPack::dense_bases_ptr() const {
    if (quantised && !codes.empty() && !codebook.empty()) {
        ensure_vq_expanded_();
        if (expanded_) return expanded_;
    }
    return bases.empty() ? nullptr : bases.data();
}

void VezevProjPack::reconstruct_flat(int expert, int slice, float* out) const {
    if (!out) return;
    const float* coef = nullptr;
    const size_t row = size_t(expert) * size_t(slices) + size_t(slice);
    if (expert >= 0 && expert < experts && slice >= 0 && slice < slices &&
        (row + 1) * size_t(std::max(K, 0)) <= coefficients.size() && !coefficients.empty())
        coef = coefficients.data() + row * size_t(K);
    const float* b = dense_bases_ptr();
    if (!coef || !b) {
        std::fill(out, out + std::max(d, 0), 0.0f);
        return;
    }
    for (int l = 0; l < d; ++l) {
        double s = 0.0;
        for (int k = 0; k < K; ++k) s += double(b[size_t(l) * size_t(K) + size_t(k)]) * double(coef[k]);
        out[l] = float(s);
    }
}

void VezevProjPack::release() {
    std::lock_guard lock(expand_mu_);
    std::free(expanded_);
    expanded_ = nullptr;
    expanded_bytes_ = 0;
    expanded_flag_.store(false, std::memory_order_release);
}

} // namespace vm::vezev
