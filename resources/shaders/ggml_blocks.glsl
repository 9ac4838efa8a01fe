// GGML block decoding from a byte-addressed weight buffer. The includer
// declares `qa` (the weights as 32-bit words) and defines one of QT_Q4_K,
// QT_Q5_0, QT_Q8_0, QT_Q6_K. Byte offsets may be odd: a Q8_0 row starts at
// any multiple of 34 bytes.

uint qbyte(uint o) { return (qa[o >> 2] >> ((o & 3u) << 3)) & 0xFFu; }
uint qu16(uint o) { return qbyte(o) | (qbyte(o + 1u) << 8); }
float qhalf(uint o) { return unpackHalf2x16(qu16(o)).x; }
int qsbyte(uint o) { return int(qbyte(o) << 24) >> 24; }

#if defined(QT_Q4_K)
const uint QK = 256u;
const uint BLOCK_BYTES = 144u;
// The 6-bit scale and min of sub-block j (0..7), packed in 12 bytes at blk+4.
void q4k_scale_min(uint blk, uint j, out float sc, out float mn) {
    uint q = blk + 4u;
    if (j < 4u) {
        sc = float(qbyte(q + j) & 63u);
        mn = float(qbyte(q + j + 4u) & 63u);
    } else {
        sc = float((qbyte(q + j + 4u) & 15u) | ((qbyte(q + j - 4u) >> 6) << 4));
        mn = float((qbyte(q + j + 4u) >> 4) | ((qbyte(q + j) >> 6) << 4));
    }
}
float deq1(uint blk, uint i) {
    uint c = i >> 6, hi = (i >> 5) & 1u, l = i & 31u;
    float sc, mn;
    q4k_scale_min(blk, 2u * c + hi, sc, mn);
    uint b = qbyte(blk + 16u + 32u * c + l);
    float q = float(hi == 1u ? (b >> 4) : (b & 15u));
    return qhalf(blk) * sc * q - qhalf(blk + 2u) * mn;
}
// Visits the block's weights in layout order: per 64-weight chunk the 32 low
// nibbles, then the 32 high nibbles.
#define VISIT_BLOCK(blk)                                                       \
    {                                                                          \
        float d_ = qhalf(blk), dm_ = qhalf((blk) + 2u);                        \
        for (uint c_ = 0u; c_ < 4u; ++c_) {                                    \
            float s1_, m1_, s2_, m2_;                                          \
            q4k_scale_min(blk, 2u * c_, s1_, m1_);                             \
            q4k_scale_min(blk, 2u * c_ + 1u, s2_, m2_);                        \
            float d1_ = d_ * s1_, mm1_ = dm_ * m1_;                            \
            float d2_ = d_ * s2_, mm2_ = dm_ * m2_;                            \
            for (uint l_ = 0u; l_ < 32u; ++l_) {                               \
                uint b_ = qbyte((blk) + 16u + 32u * c_ + l_);                  \
                WEIGHT_BODY(64u * c_ + l_, d1_ * float(b_ & 15u) - mm1_)       \
            }                                                                  \
            for (uint l_ = 0u; l_ < 32u; ++l_) {                               \
                uint b_ = qbyte((blk) + 16u + 32u * c_ + l_);                  \
                WEIGHT_BODY(64u * c_ + 32u + l_, d2_ * float(b_ >> 4) - mm2_)  \
            }                                                                  \
        }                                                                      \
    }
#elif defined(QT_Q5_0)
const uint QK = 32u;
const uint BLOCK_BYTES = 22u;
float deq1(uint blk, uint i) {
    uint j = i & 15u;
    uint qh = qu16(blk + 2u) | (qu16(blk + 4u) << 16);
    uint b = qbyte(blk + 6u + j);
    uint x = i < 16u ? ((b & 15u) | (((qh >> j) & 1u) << 4)) : ((b >> 4) | (((qh >> (j + 16u)) & 1u) << 4));
    return float(int(x) - 16) * qhalf(blk);
}
// Pairs j and 16 + j.
#define VISIT_BLOCK(blk)                                                       \
    {                                                                          \
        float d_ = qhalf(blk);                                                 \
        uint qh_ = qu16((blk) + 2u) | (qu16((blk) + 4u) << 16);                \
        for (uint j_ = 0u; j_ < 16u; ++j_) {                                   \
            uint b_ = qbyte((blk) + 6u + j_);                                  \
            int x0_ = int((b_ & 15u) | (((qh_ >> j_) & 1u) << 4)) - 16;        \
            int x1_ = int((b_ >> 4) | (((qh_ >> (j_ + 16u)) & 1u) << 4)) - 16; \
            WEIGHT_BODY(j_, float(x0_) * d_)                                   \
            WEIGHT_BODY(j_ + 16u, float(x1_) * d_)                             \
        }                                                                      \
    }
#elif defined(QT_Q8_0)
const uint QK = 32u;
const uint BLOCK_BYTES = 34u;
float deq1(uint blk, uint i) { return qhalf(blk) * float(qsbyte(blk + 2u + i)); }
#define VISIT_BLOCK(blk)                                                       \
    {                                                                          \
        float d_ = qhalf(blk);                                                 \
        for (uint j_ = 0u; j_ < 32u; ++j_) {                                   \
            WEIGHT_BODY(j_, d_ * float(qsbyte((blk) + 2u + j_)))              \
        }                                                                      \
    }
#elif defined(QT_Q6_K)
const uint QK = 256u;
const uint BLOCK_BYTES = 210u;
// ql at 0 (128 bytes), qh at 128 (64), signed scales at 192 (16), d at 208.
float deq1(uint blk, uint i) {
    uint h = i >> 7, r = i & 127u, q = r >> 5, l = r & 31u;
    uint lb = qbyte(blk + 64u * h + l + ((q & 1u) == 1u ? 32u : 0u));
    uint lo = q < 2u ? (lb & 15u) : (lb >> 4);
    uint hb = (qbyte(blk + 128u + 32u * h + l) >> (2u * q)) & 3u;
    float sc = float(qsbyte(blk + 192u + 8u * h + (l >> 4) + 2u * q));
    return qhalf(blk + 208u) * sc * float(int(lo | (hb << 4)) - 32);
}
// Per 128-weight half and l < 32: the four weights l, l+32, l+64, l+96.
#define VISIT_BLOCK(blk)                                                       \
    {                                                                          \
        float d_ = qhalf((blk) + 208u);                                        \
        for (uint h_ = 0u; h_ < 2u; ++h_) {                                    \
            for (uint l_ = 0u; l_ < 32u; ++l_) {                               \
                uint a_ = qbyte((blk) + 64u * h_ + l_);                        \
                uint b_ = qbyte((blk) + 64u * h_ + l_ + 32u);                  \
                uint hb_ = qbyte((blk) + 128u + 32u * h_ + l_);                \
                uint s_ = (blk) + 192u + 8u * h_ + (l_ >> 4);                  \
                int q1_ = int((a_ & 15u) | ((hb_ & 3u) << 4)) - 32;            \
                int q2_ = int((b_ & 15u) | (((hb_ >> 2) & 3u) << 4)) - 32;     \
                int q3_ = int((a_ >> 4) | (((hb_ >> 4) & 3u) << 4)) - 32;      \
                int q4_ = int((b_ >> 4) | (((hb_ >> 6) & 3u) << 4)) - 32;      \
                WEIGHT_BODY(128u * h_ + l_, d_ * float(qsbyte(s_)) * float(q1_))        \
                WEIGHT_BODY(128u * h_ + l_ + 32u, d_ * float(qsbyte(s_ + 2u)) * float(q2_)) \
                WEIGHT_BODY(128u * h_ + l_ + 64u, d_ * float(qsbyte(s_ + 4u)) * float(q3_)) \
                WEIGHT_BODY(128u * h_ + l_ + 96u, d_ * float(qsbyte(s_ + 6u)) * float(q4_)) \
            }                                                                  \
        }                                                                      \
    }
#endif
