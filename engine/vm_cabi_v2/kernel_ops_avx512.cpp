// The AVX-512 build of the kernel cores, chosen at run time: the AVX2 build
// with 512-bit kernels for the K-quant row products and the batched row
// route (the shared helpers of kernel_body.inc compiled here for this
// width). A 512-bit register holds four outputs' four fma lanes, one output
// per 128-bit quarter, each quarter doing exactly its output's four-lane
// sequence, so the bits are those of the other builds.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kernel_ops.h"
#include "q8_0_rows_avx512.h"
#include "vm_cabi/half.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma,f16c,avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma,f16c,avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi")
// GCC 12's own 512-bit intrinsics trip its uninitialised-value warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
namespace vm {
namespace kernels_avx512 {
#define KERNEL_BODY_AVX2 1
#include "kernel_body.inc"
#undef KERNEL_BODY_AVX2

namespace {

// Byte-gather indices: step s (elements 4s … 4s + 3 of a 32-code run) of
// four rows whose runs sit at bytes 32ρ … 32ρ + 31 of a 128-byte table pair.
// Code j of row ρ goes to byte `at` of 32-bit lane 4ρ + j.
constexpr std::array<std::array<uint8_t, 64>, 8> step_indices(int at) {
    std::array<std::array<uint8_t, 64>, 8> t{};
    for (int s = 0; s < 8; ++s)
        for (int rho = 0; rho < 4; ++rho)
            for (int j = 0; j < 4; ++j) t[size_t(s)][size_t(4 * (4 * rho + j) + at)] = uint8_t(32 * rho + 4 * s + j);
    return t;
}
alignas(64) constexpr auto kLowByte = step_indices(0);
alignas(64) constexpr auto kHighByte = step_indices(3);
constexpr __mmask64 kLowMask = 0x1111111111111111ull, kHighMask = 0x8888888888888888ull;

inline __m512i idx(const std::array<uint8_t, 64>& t) { return _mm512_load_si512(t.data()); }

// [row a: 32 bytes | row b: 32 bytes].
inline __m512i join2(const uint8_t* a, const uint8_t* b) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(load256(a)), load256(b), 1);
}

inline __m512 x4(const float* x) { return _mm512_broadcast_f32x4(_mm_loadu_ps(x)); }

// Each quarter of acc reduced as (l0 + l1) + (l2 + l3).
inline void quarters(__m512 acc, float* out) {
    alignas(64) float l[16];
    _mm512_store_ps(l, acc);
    for (int q = 0; q < 4; ++q) out[q] = reduce_lanes(l + 4 * q);
}

inline void prefetch_span(const uint8_t* p, size_t bytes) {
    for (size_t at = 0; at < bytes; at += 64) _mm_prefetch(reinterpret_cast<const char*>(p + at), _MM_HINT_T0);
}

// ---- Rows four at a time ------------------------------------------------
//
// Units of four rows (one per quarter) × one block: Q row quads against U
// consecutive blocks, Q·U independent chains. part[(q·U + u)·4 + ρ] is the
// lane partial of row 4q + ρ's block b + u.

// Four blocks' first 16 bytes, block ρ in quarter ρ.
inline __m512i heads4(const uint8_t* const* blk) {
    __m512i z = _mm512_castsi128_si512(load128(blk[0]));
    z = _mm512_inserti32x4(z, load128(blk[1]), 1);
    z = _mm512_inserti32x4(z, load128(blk[2]), 2);
    return _mm512_inserti32x4(z, load128(blk[3]), 3);
}

// The halves at word w of each quarter's 8, widened: lane 4j + ρ (j 0-3) gets quarter ρ's.
inline __m512 halves_by_row(__m512i z, int w) {
    const __m512i ix = _mm512_add_epi16(
        _mm512_set_epi16(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 24, 16, 8, 0, 24, 16, 8, 0, 24, 16, 8, 0,
                         24, 16, 8, 0),
        _mm512_set1_epi16(short(w)));
    return _mm512_cvtph_ps(_mm512_castsi512_si256(_mm512_permutexvar_epi16(ix, z)));
}

// Scale and minimum tables of four Q4_K or Q5_K blocks (block ρ's head in
// quarter ρ of z): sc[h] lane 4j + ρ = d·scale of group 4h + j, mn[h] the
// same for −(dmin·min), with the products of k_scales8.
inline void k_scales_rows4(__m512i z, __m512* sc, __m512* mn) {
    // Per quarter, dwords [d | dmin, w0, w1, w2] → [sc 0-3, min 0-3, sc 4-7, min 4-7]:
    // low six bits of w0 and w1; then nibbles of w2 with the top two bits
    // of the bytes of w0 (scales) or w1 (minima) as bits 4-5.
    const __m512i p = _mm512_shuffle_epi32(z, _MM_PERM_CBCB); // [w0, w1, w0, w1]
    const __m512i q = _mm512_srlv_epi32(_mm512_shuffle_epi32(z, _MM_PERM_DDDD),
                                        _mm512_setr_epi32(0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 4));
    const __m512i lo = _mm512_and_si512(p, _mm512_set1_epi8(0x3F));
    const __m512i hi = _mm512_ternarylogic_epi32(_mm512_and_si512(q, _mm512_set1_epi8(0x0F)), _mm512_srli_epi32(p, 2),
                                                 _mm512_set1_epi8(0x30), 0xF8);
    const __m512i six = _mm512_mask_blend_epi32(0xCCCC, lo, hi);
    const __m512 d = halves_by_row(z, 0), dmin = halves_by_row(z, 1);
    // Byte 16ρ + first + j of the table to the low byte of lane 4j + ρ.
    auto pick = [&](int first) {
        const __m512i ix = _mm512_add_epi32(
            _mm512_setr_epi32(0, 16, 32, 48, 1, 17, 33, 49, 2, 18, 34, 50, 3, 19, 35, 51), _mm512_set1_epi32(first));
        return _mm512_cvtepi32_ps(_mm512_maskz_permutexvar_epi8(kLowMask, ix, six));
    };
    const __m512 neg = _mm512_set1_ps(-0.0f);
    sc[0] = _mm512_mul_ps(d, pick(0));
    sc[1] = _mm512_mul_ps(d, pick(8));
    mn[0] = _mm512_xor_ps(neg, _mm512_mul_ps(dmin, pick(4)));
    mn[1] = _mm512_xor_ps(neg, _mm512_mul_ps(dmin, pick(12)));
}

// Lane ρ of group j (0-3) of a table above, in all of quarter ρ.
inline __m512 by_quarter(__m512 t, int j) {
    const __m512i ix = _mm512_add_epi32(_mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3),
                                        _mm512_set1_epi32(4 * j));
    return _mm512_permutexvar_ps(ix, t);
}

template <int Q, int U>
inline void q4k_units(const uint8_t* const* rows, int32_t b, const float* x, float* part) {
    constexpr int N = Q * U;
    constexpr uint32_t kBytes = 144;
    __m512 sc[N][2], mn[N][2];
    KB_UNROLL for (int n = 0; n < N; ++n) {
        const uint8_t* blk[4];
        KB_UNROLL for (int r = 0; r < 4; ++r) blk[r] = rows[4 * (n / U) + r] + size_t(b + n % U) * kBytes;
        k_scales_rows4(heads4(blk), sc[n], mn[n]);
    }
    __m512 acc[N];
    KB_UNROLL for (int n = 0; n < N; ++n) acc[n] = _mm512_setzero_ps();
    const __m512i nib = _mm512_set1_epi8(0x0F);
    for (int g = 0; g < 8; ++g) {
        __m512i ta[N], tb[N];
        __m512 S[N], M[N];
        KB_UNROLL for (int n = 0; n < N; ++n) {
            const uint8_t* const* rr = rows + 4 * (n / U);
            const size_t at = size_t(b + n % U) * kBytes + 16 + 32 * size_t(g / 2);
            __m512i a = join2(rr[0] + at, rr[1] + at), c = join2(rr[2] + at, rr[3] + at);
            if (g & 1) {
                a = _mm512_srli_epi16(a, 4);
                c = _mm512_srli_epi16(c, 4);
            }
            ta[n] = _mm512_and_si512(a, nib);
            tb[n] = _mm512_and_si512(c, nib);
            S[n] = by_quarter(sc[n][g / 4], g % 4);
            M[n] = by_quarter(mn[n][g / 4], g % 4);
        }
        KB_UNROLL for (int s = 0; s < 8; ++s) {
            const __m512i ix = idx(kLowByte[size_t(s)]);
            __m512 xs[U];
            KB_UNROLL for (int u = 0; u < U; ++u) xs[u] = x4(x + size_t(b + u) * 256 + 32 * g + 4 * s);
            KB_UNROLL for (int n = 0; n < N; ++n) {
                const __m512i c = _mm512_maskz_permutex2var_epi8(kLowMask, ta[n], ix, tb[n]);
                const __m512 w = _mm512_fmadd_ps(S[n], _mm512_cvtepi32_ps(c), M[n]);
                acc[n] = _mm512_fmadd_ps(w, xs[n % U], acc[n]);
            }
        }
    }
    KB_UNROLL for (int n = 0; n < N; ++n) quarters(acc[n], part + 4 * n);
}

template <int Q, int U>
inline void q6k_units(const uint8_t* const* rows, int32_t b, const float* x, float* part) {
    constexpr int N = Q * U;
    constexpr uint32_t kBytes = 210;
    // d·scale of the sixteen 16-value parts of each unit's rows: dsc[n][t]
    // lane 4j + ρ is part 4t + j of row ρ.
    __m512 dsc[N][4];
    KB_UNROLL for (int n = 0; n < N; ++n) {
        const uint8_t* blk[4];
        float d[4];
        KB_UNROLL for (int r = 0; r < 4; ++r) {
            blk[r] = rows[4 * (n / U) + r] + size_t(b + n % U) * kBytes;
            d[r] = load_half(blk[r] + 208);
        }
        const uint8_t* sc[4] = {blk[0] + 192, blk[1] + 192, blk[2] + 192, blk[3] + 192};
        const __m512i z = heads4(sc);
        const __m512 dv = _mm512_broadcast_f32x4(_mm_loadu_ps(d));
        KB_UNROLL for (int t = 0; t < 4; ++t) {
            // Byte 16ρ + 4t + j to the top byte of lane 4j + ρ, sign-extended.
            const __m512i ix = _mm512_add_epi32(
                _mm512_setr_epi32(0, 16, 32, 48, 1, 17, 33, 49, 2, 18, 34, 50, 3, 19, 35, 51), _mm512_set1_epi32(4 * t));
            const __m512i v = _mm512_srai_epi32(_mm512_maskz_permutexvar_epi8(kHighMask, _mm512_slli_epi32(ix, 24), z), 24);
            dsc[n][t] = _mm512_mul_ps(dv, _mm512_cvtepi32_ps(v));
        }
    }
    __m512 acc[N];
    KB_UNROLL for (int n = 0; n < N; ++n) acc[n] = _mm512_setzero_ps();
    const __m512i nib = _mm512_set1_epi8(0x0F), top = _mm512_set1_epi8(0x30), bias = _mm512_set1_epi8(32);
    for (int h = 0; h < 2; ++h)
        for (int r = 0; r < 4; ++r) {
            // Signed codes of sub-group r of half h, rows 0-1 in ta, 2-3 in tb.
            __m512i ta[N], tb[N];
            KB_UNROLL for (int n = 0; n < N; ++n) {
                const uint8_t* const* rr = rows + 4 * (n / U);
                const size_t blk = size_t(b + n % U) * kBytes;
                const size_t ql = blk + 64 * size_t(h) + 32 * size_t(r & 1), qh = blk + 128 + 32 * size_t(h);
                __m512i la = join2(rr[0] + ql, rr[1] + ql), lb = join2(rr[2] + ql, rr[3] + ql);
                __m512i ha = join2(rr[0] + qh, rr[1] + qh), hb = join2(rr[2] + qh, rr[3] + qh);
                if (r >= 2) {
                    la = _mm512_srli_epi16(la, 4);
                    lb = _mm512_srli_epi16(lb, 4);
                }
                // Bits 2r, 2r + 1 of qh to bits 4-5.
                if (r == 0) {
                    ha = _mm512_slli_epi16(ha, 4);
                    hb = _mm512_slli_epi16(hb, 4);
                } else if (r == 1) {
                    ha = _mm512_slli_epi16(ha, 2);
                    hb = _mm512_slli_epi16(hb, 2);
                } else if (r == 3) {
                    ha = _mm512_srli_epi16(ha, 2);
                    hb = _mm512_srli_epi16(hb, 2);
                }
                // (low & 0x0F) | (high & 0x30), then − 32.
                ta[n] = _mm512_sub_epi8(_mm512_ternarylogic_epi32(_mm512_and_si512(la, nib), ha, top, 0xF8), bias);
                tb[n] = _mm512_sub_epi8(_mm512_ternarylogic_epi32(_mm512_and_si512(lb, nib), hb, top, 0xF8), bias);
            }
            KB_UNROLL for (int p = 0; p < 2; ++p) {
                const int at = 8 * h + 2 * r + p;
                __m512 S[N];
                KB_UNROLL for (int n = 0; n < N; ++n) S[n] = by_quarter(dsc[n][at / 4], at % 4);
                KB_UNROLL for (int st = 0; st < 4; ++st) {
                    const int s = 4 * p + st;
                    const __m512i ix = idx(kHighByte[size_t(s)]);
                    __m512 xs[U];
                    KB_UNROLL for (int u = 0; u < U; ++u)
                        xs[u] = x4(x + size_t(b + u) * 256 + 128 * h + 32 * r + 4 * s);
                    KB_UNROLL for (int n = 0; n < N; ++n) {
                        const __m512i c =
                            _mm512_srai_epi32(_mm512_maskz_permutex2var_epi8(kHighMask, ta[n], ix, tb[n]), 24);
                        const __m512 w = _mm512_mul_ps(S[n], _mm512_cvtepi32_ps(c));
                        acc[n] = _mm512_fmadd_ps(w, xs[n % U], acc[n]);
                    }
                }
            }
        }
    KB_UNROLL for (int n = 0; n < N; ++n) quarters(acc[n], part + 4 * n);
}

// Rows rows[0 … 4Q − 1] of a Q4_K or Q6_K matrix: per-block partials summed
// in double in block order, U blocks at a time.
template <int Q, int U>
void kquant_quads(uint32_t type, const uint8_t* const* rows, const float* x, int32_t k, float* y) {
    const uint32_t bytes = type == 12 ? 144 : 210;
    const int32_t nb = k / 256;
    double t[4 * Q] = {};
    float part[4 * Q * U];
    auto add = [&](int units_per_quad) {
        KB_UNROLL for (int q = 0; q < Q; ++q)
            for (int u = 0; u < units_per_quad; ++u)
                KB_UNROLL for (int r = 0; r < 4; ++r) t[4 * q + r] += double(part[(q * units_per_quad + u) * 4 + r]);
    };
    int32_t b = 0;
    for (; b + U <= nb; b += U) {
        if (b + 2 * U <= nb)
            for (int i = 0; i < 4 * Q; ++i) prefetch_span(rows[i] + size_t(b + U) * bytes, U * size_t(bytes));
        if (type == 12) q4k_units<Q, U>(rows, b, x, part);
        else q6k_units<Q, U>(rows, b, x, part);
        add(U);
    }
    for (; b < nb; ++b) {
        if (type == 12) q4k_units<Q, 1>(rows, b, x, part);
        else q6k_units<Q, 1>(rows, b, x, part);
        add(1);
    }
    for (int i = 0; i < 4 * Q; ++i) y[i] = float(t[i]);
}

template <int Q, int U>
int32_t quads_run(uint32_t type, const uint8_t* W, uint64_t row_bytes, int32_t r, int32_t rows, const float* x,
                  int32_t k, float* y) {
    const uint8_t* rp[4 * Q];
    for (; r + 4 * Q <= rows; r += 4 * Q) {
        for (int i = 0; i < 4 * Q; ++i) rp[i] = W + uint64_t(r + i) * row_bytes;
        kquant_quads<Q, U>(type, rp, x, k, y + r);
    }
    return r;
}

// Rows sixteen at a time (the four quads share each step of x), then eight,
// then four over several blocks.
void rows_dot512(uint32_t type, const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* x, int32_t k,
                 float* y) {
    if (type == 8) return q8_0_rows_avx512(W, row_bytes, rows, x, k, y);
    int32_t r = 0;
    if (type == 12 || type == 14) {
        r = quads_run<4, 1>(type, W, row_bytes, r, rows, x, k, y);
        r = quads_run<2, 1>(type, W, row_bytes, r, rows, x, k, y);
        r = quads_run<1, 4>(type, W, row_bytes, r, rows, x, k, y);
    }
    if (r < rows) avx2_kernel_ops()->rows_dot(type, W + uint64_t(r) * row_bytes, row_bytes, rows - r, x, k, y + r);
}

// ---- Rows against packed activation quads -------------------------------
//
// With an even number of pairs, pairs 2q and 2q + 1 of each step are 16
// adjacent floats of Xp: activation rows 4q … 4q + 3, one per quarter, so a
// decoded weight step broadcast to the four quarters feeds four rows' lanes.

// Per quarter: [x0 + x1, x2 + x3, y0 + y1, y2 + y3].
inline __m512 hadd(__m512 x, __m512 y) {
    return _mm512_add_ps(_mm512_shuffle_ps(x, y, 0x88), _mm512_shuffle_ps(x, y, 0xDD));
}

// out[0 … 15] += the four quads' per-quarter sums (quad q, quarter j is
// activation row 4q + j), each reduced as (l0 + l1) + (l2 + l3).
inline void add_quads4(const __m512* a, float* out) {
    // Lane 4j + q holds quad q's quarter j.
    const __m512 s = hadd(hadd(a[0], a[1]), hadd(a[2], a[3]));
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    _mm512_storeu_ps(out, _mm512_add_ps(_mm512_permutexvar_ps(order, s), _mm512_loadu_ps(out)));
}

// One block decoded with 512-bit steps: the values (and bits) of deq_block.
inline void deq512(uint32_t type, const uint8_t* blk, float* out) {
    if (type == 8) {
        const __m512 d = _mm512_set1_ps(load_half(blk));
        KB_UNROLL for (int i = 0; i < 32; i += 16)
            _mm512_store_ps(out + i, _mm512_mul_ps(d, _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(load128(blk + 2 + i)))));
    } else if (type == 12) {
        alignas(32) float sc[8], mn[8];
        k_scales8(blk, sc, mn);
        KB_UNROLL for (int p = 0; p < 4; ++p) {
            const __m256i q = load256(blk + 16 + 32 * p);
            const __m256i c[2] = {_mm256_and_si256(q, _mm256_set1_epi8(0x0F)),
                                  _mm256_and_si256(_mm256_srli_epi16(q, 4), _mm256_set1_epi8(0x0F))};
            KB_UNROLL for (int h = 0; h < 2; ++h) {
                const int g = 2 * p + h;
                const __m512 S = _mm512_set1_ps(sc[g]), M = _mm512_set1_ps(mn[g]);
                const __m128i part[2] = {_mm256_castsi256_si128(c[h]), _mm256_extracti128_si256(c[h], 1)};
                KB_UNROLL for (int j = 0; j < 2; ++j)
                    _mm512_store_ps(out + 32 * g + 16 * j,
                                    _mm512_fmadd_ps(S, _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(part[j])), M));
            }
        }
    } else if (type == 14) {
        const float d = load_half(blk + 208);
        KB_UNROLL for (int h = 0; h < 2; ++h)
            KB_UNROLL for (int r = 0; r < 4; ++r) {
                const __m256i c = q6k_codes(blk, h, r);
                const __m128i part[2] = {_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1)};
                KB_UNROLL for (int j = 0; j < 2; ++j) {
                    const float dsc = d * float(int8_t(blk[192 + 8 * h + 2 * r + j]));
                    _mm512_store_ps(out + 128 * h + 32 * r + 16 * j,
                                    _mm512_mul_ps(_mm512_set1_ps(dsc), _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(part[j]))));
                }
            }
    } else {
        deq_block(type, blk, out);
    }
}

// Weight steps read from decoded blocks: step i of row ρ broadcast to all quarters.
struct DecodedSteps {
    const float* const* w;
    __m512 step(int r, int32_t i) const { return x4(w[r] + i); }
};

// Q8_0 blocks decoded into registers (d × q, the bits of deq_q8_0): two per
// row, each step taken from them by a lane broadcast.
template <int R>
struct Q8Steps {
    __m512 v[R][2];
    explicit Q8Steps(const uint8_t* const* blk) {
        KB_UNROLL for (int r = 0; r < R; ++r) {
            const __m512 d = _mm512_set1_ps(load_half(blk[r]));
            KB_UNROLL for (int j = 0; j < 2; ++j)
                v[r][j] = _mm512_mul_ps(d, _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(load128(blk[r] + 2 + 16 * j))));
        }
    }
    __m512 step(int r, int32_t i) const {
        const __m512 h = v[r][i / 16];
        switch ((i / 4) & 3) {
        case 0: return _mm512_shuffle_f32x4(h, h, 0x00);
        case 1: return _mm512_shuffle_f32x4(h, h, 0x55);
        case 2: return _mm512_shuffle_f32x4(h, h, 0xAA);
        default: return _mm512_shuffle_f32x4(h, h, 0xFF);
        }
    }
};

// R rows' weight steps (n values at element offset off) against QA quads of
// Xp (2·QA pairs); block partials added to out[ρ][0 … 4·QA − 1].
template <int QA, int R, class Steps>
inline void quads_block(const Steps& w, int32_t n, const float* Xp, size_t off, float* const* out) {
    constexpr int P = 2 * QA;
    __m512 a[R][QA];
    KB_UNROLL for (int r = 0; r < R; ++r) KB_UNROLL for (int q = 0; q < QA; ++q) a[r][q] = _mm512_setzero_ps();
    const float* xs = Xp + 2 * off * P;
    KB_UNROLL for (int32_t i = 0; i < n; i += 4) {
        __m512 xv[QA];
        KB_UNROLL for (int q = 0; q < QA; ++q) xv[q] = _mm512_loadu_ps(xs + 2 * size_t(i) * P + 16 * q);
        KB_UNROLL for (int r = 0; r < R; ++r) {
            const __m512 wb = w.step(r, i);
            KB_UNROLL for (int q = 0; q < QA; ++q) a[r][q] = _mm512_fmadd_ps(wb, xv[q], a[r][q]);
        }
    }
    KB_UNROLL for (int r = 0; r < R; ++r) {
        if constexpr (QA == 4) {
            add_quads4(a[r], out[r]);
        } else {
            KB_UNROLL for (int q = 0; q < QA; ++q) {
                float part[4];
                quarters(a[r][q], part);
                KB_UNROLL for (int j = 0; j < 4; ++j) out[r][4 * q + j] = part[j] + out[r][4 * q + j];
            }
        }
    }
}

// R rows of block blk: Q8_0 from registers, other types through w.
template <int QA, int R>
inline void quads_rows_block(uint32_t type, const uint8_t* const* blk, int32_t bs, float (*w)[256], const float* Xp,
                             size_t off, float* const* out) {
    if (type == 8) {
        const Q8Steps<R> steps(blk);
        quads_block<QA, R>(steps, 32, Xp, off, out);
        return;
    }
    const float* ws[R];
    KB_UNROLL for (int r = 0; r < R; ++r) {
        deq512(type, blk[r], w[r]);
        ws[r] = w[r];
    }
    if (bs == 32) quads_block<QA, R>(DecodedSteps{ws}, 32, Xp, off, out);
    else quads_block<QA, R>(DecodedSteps{ws}, 256, Xp, off, out);
}

// Rows in groups of eight, block by block (each block's slice of Xp read
// from cache by all eight), four rows at a time within a group.
template <int QA>
void rows_quads(uint32_t type, const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* Xp, int32_t k,
                float* out) {
    constexpr int M = 4 * QA;
    const uint32_t bs = (type == 6 || type == 8) ? 32 : 256;
    const uint32_t bytes = type == 6 ? 22 : type == 8 ? 34 : type == 12 ? 144 : type == 13 ? 176 : 210;
    const int32_t nb = k / int32_t(bs);
    alignas(64) float w[4][256];
    for (int32_t r0 = 0; r0 < rows; r0 += 8) {
        const int32_t r1 = std::min(rows, r0 + 8);
        for (int32_t blk = 0; blk < nb; ++blk) {
            const size_t off = size_t(blk) * bs;
            for (int32_t r = r0; r < r1; r += 4) {
                const int32_t R = std::min<int32_t>(4, r1 - r);
                const uint8_t* bp[4];
                float* os[4];
                for (int32_t q = 0; q < R; ++q) {
                    bp[q] = W + uint64_t(r + q) * row_bytes + uint64_t(blk) * bytes;
                    os[q] = out + size_t(r + q) * M;
                }
                switch (R) {
                case 4: quads_rows_block<QA, 4>(type, bp, int32_t(bs), w, Xp, off, os); break;
                case 3: quads_rows_block<QA, 3>(type, bp, int32_t(bs), w, Xp, off, os); break;
                case 2: quads_rows_block<QA, 2>(type, bp, int32_t(bs), w, Xp, off, os); break;
                default: quads_rows_block<QA, 1>(type, bp, int32_t(bs), w, Xp, off, os); break;
                }
            }
        }
    }
}

void rows_batch_pairs512(uint32_t type, const uint8_t* W, uint64_t row_bytes, int32_t rows, const float* Xp,
                         int32_t k, int32_t pairs, float* out) {
    if (pairs % 2 || pairs > 8) return avx2_kernel_ops()->rows_batch_pairs(type, W, row_bytes, rows, Xp, k, pairs, out);
    std::fill(out, out + size_t(rows) * size_t(2 * pairs), 0.0f);
    switch (pairs / 2) {
    case 1: return rows_quads<1>(type, W, row_bytes, rows, Xp, k, out);
    case 2: return rows_quads<2>(type, W, row_bytes, rows, Xp, k, out);
    case 3: return rows_quads<3>(type, W, row_bytes, rows, Xp, k, out);
    default: return rows_quads<4>(type, W, row_bytes, rows, Xp, k, out);
    }
}

} // namespace

// The AVX2 table (its code tuned for that width) with the 512-bit kernels in
// place of the ones they beat.
static vm::KernelOps make_ops512() {
    vm::KernelOps ops = *avx2_kernel_ops();
    ops.name = "avx512";
    ops.rows_dot = rows_dot512;
    ops.rows_batch_pairs = rows_batch_pairs512;
    return ops;
}

} // namespace kernels_avx512
} // namespace vm
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

namespace vm {
const KernelOps* avx512_kernel_ops() {
    static const KernelOps* const ops = []() -> const KernelOps* {
        if (!avx2_kernel_ops()) return nullptr;
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512bw") ||
            !__builtin_cpu_supports("avx512vl") || !__builtin_cpu_supports("avx512dq") ||
            !__builtin_cpu_supports("avx512vbmi"))
            return nullptr;
        static const KernelOps table = kernels_avx512::make_ops512();
        return &table;
    }();
    return ops;
}
} // namespace vm
#else
namespace vm {
const KernelOps* avx512_kernel_ops() { return nullptr; }
} // namespace vm
#endif
