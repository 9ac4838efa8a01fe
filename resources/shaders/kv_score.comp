#version 450
// scores[t] = Q · K[t] for t < pos, unscaled.
layout(local_size_x = 64) in;
layout(std430, binding = 0) readonly buffer QQ { float q[]; };
layout(std430, binding = 1) readonly buffer KK { float k[]; };
layout(std430, binding = 2) writeonly buffer SS { float scores[]; };
layout(push_constant) uniform P { uint oq, ok, os, pos, head_dim; } p;

void main() {
    uint t = gl_GlobalInvocationID.x;
    if (t >= p.pos) return;
    uint qb = p.oq >> 2, kb = (p.ok >> 2) + t * p.head_dim;
    float acc = 0.0;
    uint i = 0u;
    for (; i + 4u <= p.head_dim; i += 4u) {
        acc = fma(q[qb + i], k[kb + i], acc);
        acc = fma(q[qb + i + 1u], k[kb + i + 1u], acc);
        acc = fma(q[qb + i + 2u], k[kb + i + 2u], acc);
        acc = fma(q[qb + i + 3u], k[kb + i + 3u], acc);
    }
    for (; i < p.head_dim; ++i) acc = fma(q[qb + i], k[kb + i], acc);
    scores[(p.os >> 2) + t] = acc;
}
