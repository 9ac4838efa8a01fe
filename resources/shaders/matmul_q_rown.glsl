// One invocation per weight row, N <= 16 accumulators: each 256-row slice of
// B is shared through workgroup memory and every weight is decoded once for
// all N columns. Invocations past M still help load the slice.
layout(local_size_x = 64) in;
layout(std430, binding = 0) readonly buffer QA { uint qa[]; };
layout(std430, binding = 1) readonly buffer BB { float b[]; };
layout(std430, binding = 2) writeonly buffer CC { float c[]; };
layout(push_constant) uniform P { uint oa, ob, oc, M, K, N; } p;

#include "ggml_blocks.glsl"

shared float slice[256 * 16];
float g_acc[16];
#define WEIGHT_BODY(i, w)                                                     \
    {                                                                         \
        float w_r = (w);                                                      \
        for (uint n_r = 0u; n_r < p.N; ++n_r) g_acc[n_r] += w_r * slice[(i) * p.N + n_r]; \
    }

void main() {
    uint m = gl_GlobalInvocationID.x;
    uint lid = gl_LocalInvocationID.x;
    uint blocks = p.K / 256u;
    uint row = p.oa + m * blocks * BLOCK_BYTES;
    for (uint n = 0u; n < 16u; ++n) g_acc[n] = 0.0;
    for (uint bi = 0u; bi < blocks; ++bi) {
        uint total = 256u * p.N;
        uint src = (p.ob >> 2) + bi * 256u * p.N;
        for (uint idx = lid; idx < total; idx += 64u) slice[idx] = b[src + idx];
        barrier();
        if (m < p.M) VISIT_BLOCK(row + bi * BLOCK_BYTES)
        barrier();
    }
    if (m < p.M)
        for (uint n = 0u; n < p.N; ++n) c[(p.oc >> 2) + m * p.N + n] = g_acc[n];
}
