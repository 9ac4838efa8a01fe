// Like matmul_f16_sg, but each weight is decoded straight from its quantised
// row into the lane's tile cell (0 past M or K); B reads 0 past K or N. The
// store is unchecked: C has ceil(M/8)·8 rows and N is a multiple of 8.
layout(std430, binding = 0) readonly buffer QA { uint qa[]; };
layout(std430, binding = 1) readonly buffer BB { float b[]; };
layout(std430, binding = 2) writeonly buffer CC { float c[]; };
layout(push_constant) uniform P { uint oa, ob, oc, M, K, N; } p;

#include "ggml_blocks.glsl"

float a_cell(uint row, uint col) {
    if (row >= p.M || col >= p.K) return 0.0;
    uint blocks = p.K / QK;
    return deq1(p.oa + (row * blocks + col / QK) * BLOCK_BYTES, col % QK);
}
float b_cell(uint row, uint col) {
    if (row >= p.K || col >= p.N) return 0.0;
    return b[(p.ob >> 2) + row * p.N + col];
}

#include "tile_mma.glsl"

void main() { tile_mma(p.K, p.N, p.oc >> 2); }
