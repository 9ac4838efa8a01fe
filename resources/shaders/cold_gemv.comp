#version 450
// y[g] = W[g] · x, one workgroup per row, halving-stride reduction.
layout(local_size_x = 256) in;
layout(std430, binding = 0) readonly buffer XX { float x[]; };
layout(std430, binding = 1) readonly buffer WW { float w[]; };
layout(std430, binding = 2) writeonly buffer YY { float y[]; };
layout(push_constant) uniform P { uint ox, ow, oy, N; } p;

shared float part[256];

void main() {
    uint g = gl_WorkGroupID.x, lid = gl_LocalInvocationID.x;
    float acc = 0.0;
    for (uint j = lid; j < p.N; j += 256u) acc = fma(w[(p.ow >> 2) + g * p.N + j], x[(p.ox >> 2) + j], acc);
    part[lid] = acc;
    barrier();
    for (uint s = 128u; s > 0u; s >>= 1) {
        if (lid < s) part[lid] += part[lid + s];
        barrier();
    }
    if (lid == 0u) y[(p.oy >> 2) + g] = part[0];
}
