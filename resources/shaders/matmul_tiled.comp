#version 450
// Float32 C = A · B through 16×16 tiles in workgroup memory.
layout(local_size_x = 16, local_size_y = 16) in;
layout(std430, binding = 0) readonly buffer AA { float a[]; };
layout(std430, binding = 1) readonly buffer BB { float b[]; };
layout(std430, binding = 2) writeonly buffer CC { float c[]; };
layout(push_constant) uniform P { uint oa, ob, oc, M, K, N; } p;

shared float ta[16][16];
shared float tb[16][16];

void main() {
    uint lx = gl_LocalInvocationID.x, ly = gl_LocalInvocationID.y;
    uint row = gl_WorkGroupID.y * 16u + ly, col = gl_WorkGroupID.x * 16u + lx;
    float acc = 0.0;
    for (uint k0 = 0u; k0 < p.K; k0 += 16u) {
        ta[ly][lx] = (row < p.M && k0 + lx < p.K) ? a[(p.oa >> 2) + row * p.K + k0 + lx] : 0.0;
        tb[ly][lx] = (k0 + ly < p.K && col < p.N) ? b[(p.ob >> 2) + (k0 + ly) * p.N + col] : 0.0;
        barrier();
        for (uint j = 0u; j < 16u; ++j) acc = fma(ta[ly][j], tb[j][lx], acc);
        barrier();
    }
    if (row < p.M && col < p.N) c[(p.oc >> 2) + row * p.N + col] = acc;
}
