#version 450
// out = x · w / sqrt(mean(x²) + eps), one workgroup over the whole vector.
layout(local_size_x = 256) in;
layout(std430, binding = 0) readonly buffer XX { float x[]; };
layout(std430, binding = 1) readonly buffer WW { float w[]; };
layout(std430, binding = 2) writeonly buffer OO { float o[]; };
layout(push_constant) uniform P { uint ox, ow, oo, n; float eps; } p;

shared float part[256];

void main() {
    uint lid = gl_LocalInvocationID.x;
    uint xb = p.ox >> 2;
    float acc = 0.0;
    for (uint i = lid; i < p.n; i += 256u) acc = fma(x[xb + i], x[xb + i], acc);
    part[lid] = acc;
    barrier();
    for (uint s = 128u; s > 0u; s >>= 1) {
        if (lid < s) part[lid] += part[lid + s];
        barrier();
    }
    float scale = inversesqrt(part[0] / float(p.n) + p.eps);
    for (uint i = lid; i < p.n; i += 256u) o[(p.oo >> 2) + i] = x[xb + i] * scale * w[(p.ow >> 2) + i];
}
