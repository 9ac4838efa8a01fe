#pragma once
// One om2 expert pack: a low-rank copy of one routed-expert projection (one
// layer, expert and projection) with an optional int8 residual.
//
// File layout, little-endian, no padding:
//   0  "VEZEV2" (low 48 bits of the first word; bytes 6-7 ignored)
//   8  u32 ignored   12 i32 layer   16 i32 expert
//  20  u32 rows      24 u32 cols    28 u32 rank
//  32  u32 n_scales  36 i32 group (< 1 means 32)   40 8-byte tag
//  48  U  rows × rank halves (row-major)
//      S  rank floats
//      V  cols × rank halves (row-major)
//      scales  n_scales floats
//      R  rows × cols int8 (row-major); bytes after R are ignored
// The pack means y = U·(S ⊙ (Vᵀ·x)), plus, when asked, the residual
// r_i = Σ_j R[i·cols + j] · s(n) / 7 · x_j with n = i·cols + j and
// s(n) = scales[n / group], or 1 past the last scale.
#include <cstdint>
#include <string>
#include <vector>

namespace vm::apex {

struct Om2Pack {
    int32_t layer = -1;
    int32_t expert = -1;
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t rank = 0;
    uint32_t n_scales = 0;
    int32_t group = 32;
    uint8_t tag[8] = {};
    std::vector<float> U, S, V, scales;
    std::vector<int8_t> R;

    Om2Pack() = default;
    Om2Pack(Om2Pack&&) noexcept = default;
    Om2Pack& operator=(Om2Pack&&) noexcept = default;
    Om2Pack(const Om2Pack&) = delete;
    Om2Pack& operator=(const Om2Pack&) = delete;

    // Positive sizes and arrays of exactly the sizes they imply (64-bit
    // products).
    bool valid() const;
    // Host bytes held: the registry's budget unit.
    uint64_t bytes() const;
};

inline constexpr uint64_t kOm2HeaderBytes = 48;
// Files up to this size are read whole in one direct read.
inline constexpr uint64_t kOm2DirectReadLimit = 67108864;

// Whole-file read with the page cache bypassed (best effort); a file that
// cannot be read whole (open, stat, size 0 or above the limit, read error,
// short read) goes to load_om2_file, a malformed file read whole fails.
bool load_om2_file_uncached(const std::string& path, Om2Pack& out);
// Sequential stream reader. Both readers refuse a header whose sections do
// not fit in the file before sizing any buffer from it.
bool load_om2_file(const std::string& path, Om2Pack& out);

// Pack key: layer << 32 | expert << 8 | lower-cased projection letter.
uint64_t om2_pack_key(int layer, int expert, char proj);

} // namespace vm::apex
