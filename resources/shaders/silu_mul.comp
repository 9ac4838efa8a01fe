#version 450
layout(local_size_x = 128) in;
layout(std430, binding = 0) readonly buffer GG { float gate[]; };
layout(std430, binding = 1) readonly buffer UU { float up[]; };
layout(std430, binding = 2) writeonly buffer OO { float o[]; };
layout(push_constant) uniform P { uint og, ou, oo, n; } p;

void main() {
    uint i = gl_GlobalInvocationID.x;
    if (i >= p.n) return;
    float g = gate[(p.og >> 2) + i];
    o[(p.oo >> 2) + i] = (g / (1.0 + exp(-g))) * up[(p.ou >> 2) + i];
}
