// One invocation per result element (n, m): walks row m's blocks in layout
// order with one accumulator.
layout(local_size_x = 16, local_size_y = 16) in;
layout(std430, binding = 0) readonly buffer QA { uint qa[]; };
layout(std430, binding = 1) readonly buffer BB { float b[]; };
layout(std430, binding = 2) writeonly buffer CC { float c[]; };
layout(push_constant) uniform P { uint oa, ob, oc, M, K, N; } p;

#include "ggml_blocks.glsl"

float g_acc;
uint g_base;
#define WEIGHT_BODY(i, w) g_acc += (w) * b[g_base + (i) * p.N];

void main() {
    uint n = gl_GlobalInvocationID.x, m = gl_GlobalInvocationID.y;
    if (n >= p.N || m >= p.M) return;
    uint blocks = p.K / QK;
    uint row = p.oa + m * blocks * BLOCK_BYTES;
    g_acc = 0.0;
    for (uint bi = 0u; bi < blocks; ++bi) {
        g_base = (p.ob >> 2) + bi * QK * p.N + n;
        VISIT_BLOCK(row + bi * BLOCK_BYTES)
    }
    c[(p.oc >> 2) + m * p.N + n] = g_acc;
}
