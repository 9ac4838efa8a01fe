// One invocation per (block, row): writes the block's weights as float32 into
// the M×K matrix out. Rows past M are left alone.
layout(local_size_x = 8, local_size_y = 8) in;
layout(std430, binding = 0) readonly buffer QA { uint qa[]; };
layout(std430, binding = 1) writeonly buffer OUT { float outw[]; };
layout(push_constant) uniform P { uint oa, oo, M, K; } p;

#include "ggml_blocks.glsl"

uint g_base;
#define WEIGHT_BODY(i, w) outw[g_base + (i)] = (w);

void main() {
    uint bi = gl_GlobalInvocationID.x, m = gl_GlobalInvocationID.y;
    uint blocks = p.K / QK;
    if (bi >= blocks || m >= p.M) return;
    g_base = (p.oo >> 2) + m * p.K + bi * QK;
    VISIT_BLOCK(p.oa + (m * blocks + bi) * BLOCK_BYTES)
}
