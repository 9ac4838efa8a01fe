#version 450
// One invocation per query head: online softmax over cnt cached positions of
// its key/value head (h / group). head_dim above 128 writes nothing.
layout(local_size_x = 32) in;
layout(std430, binding = 0) readonly buffer QQ { float q[]; };
layout(std430, binding = 1) readonly buffer KK { float kc[]; };
layout(std430, binding = 2) readonly buffer VV { float vc[]; };
layout(std430, binding = 3) writeonly buffer AA { float att[]; };
layout(push_constant) uniform P { uint oq, ok, ov, oa, cnt, head_dim, kv_dim, group, n_heads; } p;

void main() {
    uint h = gl_GlobalInvocationID.x;
    if (h >= p.n_heads || p.head_dim > 128u || p.group == 0u) return;
    uint hdim = p.head_dim;
    uint kvh = h / p.group;
    uint qb = (p.oq >> 2) + h * hdim;
    float scale = inversesqrt(float(hdim));
    float m = uintBitsToFloat(0xFF800000u), l = 0.0;
    float acc[128];
    for (uint i = 0u; i < hdim; ++i) acc[i] = 0.0;
    for (uint t = 0u; t < p.cnt; ++t) {
        uint row = t * p.kv_dim + kvh * hdim;
        float s = 0.0;
        for (uint i = 0u; i < hdim; ++i) s = fma(q[qb + i], kc[(p.ok >> 2) + row + i], s);
        s *= scale;
        float mn = max(m, s);
        float corr = exp(m - mn), pr = exp(s - mn);
        for (uint i = 0u; i < hdim; ++i) acc[i] = acc[i] * corr + pr * vc[(p.ov >> 2) + row + i];
        l = l * corr + pr;
        m = mn;
    }
    for (uint i = 0u; i < hdim; ++i) att[(p.oa >> 2) + h * hdim + i] = l > 0.0 ? acc[i] / l : 0.0;
}
