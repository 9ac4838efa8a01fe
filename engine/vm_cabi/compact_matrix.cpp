#include "compact_matrix.h"

#include "parallel_for.h"

namespace vm {

int8_t vm_sign[256][8];
int8_t tern_lut[256][4];

namespace {

const bool tables_ready = [] {
    static const int8_t code_weight[4] = {0, 1, -1, 0};
    for (int b = 0; b < 256; ++b) {
        for (int k = 0; k < 8; ++k) vm_sign[b][k] = (b >> k) & 1 ? 1 : -1;
        for (int e = 0; e < 4; ++e) tern_lut[b][e] = code_weight[(b >> (2 * e)) & 3];
    }
    return true;
}();

// Chunk c of `chunks` covers rows [c × rows / chunks, (c + 1) × rows / chunks).
template <typename Row> void for_row_chunks(int32_t rows, Row&& row) {
    const int chunks = compact_chunks(rows);
    parallel_for(size_t(chunks), [&](size_t c) {
        int64_t begin = int64_t(c) * rows / chunks, end = int64_t(c + 1) * rows / chunks;
        for (int64_t r = begin; r < end; ++r) row(int32_t(r));
    });
}

} // namespace

int compact_chunks(int32_t rows) {
    (void)tables_ready;
    return rows >= 64 ? 64 : 1;
}

void matvec_ternary_mt_s(const TernMatrix& m, float s, const int8_t* xq, float* y) {
    for_row_chunks(m.rows, [&](int32_t r) {
        const uint8_t* row = m.packed.data() + size_t(r) * size_t(m.row_bytes);
        int32_t acc[4] = {0, 0, 0, 0};
        for (int32_t j = 0; 16 * j < m.padded_cols; ++j) {
            int8_t w[16];
            for (int b = 0; b < 4; ++b)
                for (int e = 0; e < 4; ++e) w[4 * b + e] = tern_lut[row[4 * j + b]][e];
            const int8_t* x = xq + 16 * j;
            for (int k = 0; k < 16; ++k) acc[k % 4] += int32_t(w[k]) * int32_t(x[k]);
        }
        int64_t sum = int64_t(acc[0]) + acc[1] + acc[2] + acc[3];
        y[r] = float(double(m.row_scale[size_t(r)]) * double(s) * double(sum));
    });
}

namespace {

// Σ over j < n of (bit j set ? +x[j] : −x[j]), for a row's little-endian bit words.
int64_t signed_sum(const uint64_t* words, int32_t n, const int8_t* x) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(words);
    int64_t total = 0;
    int32_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const int8_t* lo = vm_sign[bytes[j / 8]];
        const int8_t* hi = vm_sign[bytes[j / 8 + 1]];
        int32_t acc = 0;
        for (int k = 0; k < 8; ++k) acc += int32_t(lo[k]) * x[j + k];
        for (int k = 0; k < 8; ++k) acc += int32_t(hi[k]) * x[j + 8 + k];
        total += acc;
    }
    for (; j < n; ++j) total += (words[j / 64] >> (j % 64)) & 1 ? x[j] : -x[j];
    return total;
}

} // namespace

void matvec_w1a8_mt_s(const BitMatrix& m, float s, const int8_t* xq, const int8_t* xq_perm, float* y) {
    for_row_chunks(m.rows, [&](int32_t r) {
        int64_t dot1 = signed_sum(m.main_bits.data() + size_t(r) * size_t(m.main_words), m.n_main, xq);
        int64_t dot2 = m.n_salient > 0
                           ? signed_sum(m.salient_bits.data() + size_t(r) * size_t(m.salient_words), m.n_salient, xq_perm)
                           : 0;
        double v = double(m.main_scale[size_t(r)]) * double(s) * double(dot1) +
                   double(s) * double(m.salient_scale[size_t(r)]) * double(dot2);
        y[r] = float(v);
    });
}

} // namespace vm
