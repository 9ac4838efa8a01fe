#pragma once
// The one converter from the GGML encodings to single precision, and the
// one-block decoders the matrix kernels call. All arithmetic is single
// precision with a fixed order of roundings, so every decoded float is the
// same bit pattern on every path (vector or portable) and every run:
//   Q5_0, Q8_0   d × q
//   Q4_K, Q5_K   fma(d × sc, q, −(dmin × m)), both products rounded first
//   Q6_K         (d × sc) × (q − 32)
//   F16          widened exactly
// Pure functions: no state, callable from any thread.
#include <cstdint>

namespace vm {

// Decodes `count` values of GGML type `type` from src into dst. False (and
// nothing written) for an unsupported id, also when count is 0. For block
// types count must be a whole number of blocks; dst must hold count floats.
bool dequant_tensor(uint32_t type, const uint8_t* src, float* dst, uint64_t count);

// One block each: 32 values for Q8_0, 256 for the K-quants.
void deq_q8_0(const uint8_t* block, float* out);
void deq_q4_k(const uint8_t* block, float* out);
void deq_q5_k(const uint8_t* block, float* out);
void deq_q6_k(const uint8_t* block, float* out);

} // namespace vm
