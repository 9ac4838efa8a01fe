#version 450
layout(local_size_x = 64) in;
layout(std430, binding = 0) readonly buffer II { float xin[]; };
layout(std430, binding = 1) readonly buffer BB { float bias[]; };
layout(std430, binding = 2) writeonly buffer OO { float xout[]; };
layout(push_constant) uniform P { uint oi, ob, oo, n, has_bias; } p;

void main() {
    uint i = gl_GlobalInvocationID.x;
    if (i >= p.n) return;
    float v = xin[(p.oi >> 2) + i];
    if (p.has_bias != 0u) v += bias[(p.ob >> 2) + i];
    xout[(p.oo >> 2) + i] = v;
}
