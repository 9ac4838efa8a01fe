#version 450
// The lowest index of the largest value (a sequential strict-greater scan's
// answer); 0 when no value exceeds -inf (all -inf or NaN).
layout(local_size_x = 256) in;
layout(std430, binding = 0) readonly buffer LL { float logits[]; };
layout(std430, binding = 1) writeonly buffer OO { uint o[]; };
layout(push_constant) uniform P { uint ol, oo, n; } p;

shared float best_v[256];
shared uint best_i[256];

void main() {
    uint lid = gl_LocalInvocationID.x;
    float bv = uintBitsToFloat(0xFF800000u);
    uint bi = 0u;
    for (uint i = lid; i < p.n; i += 256u) {
        float v = logits[(p.ol >> 2) + i];
        if (v > bv) { bv = v; bi = i; }
    }
    best_v[lid] = bv;
    best_i[lid] = bi;
    barrier();
    for (uint s = 128u; s > 0u; s >>= 1) {
        if (lid < s) {
            float ov = best_v[lid + s];
            uint oi = best_i[lid + s];
            if (ov > best_v[lid] || (ov == best_v[lid] && oi < best_i[lid])) {
                best_v[lid] = ov;
                best_i[lid] = oi;
            }
        }
        barrier();
    }
    if (lid == 0u) o[p.oo >> 2] = best_i[0];
}
