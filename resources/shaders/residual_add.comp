#version 450
layout(local_size_x = 128) in;
layout(std430, binding = 0) buffer XX { float x[]; };
layout(std430, binding = 1) readonly buffer YY { float y[]; };
layout(push_constant) uniform P { uint ox, oy, n; } p;

void main() {
    uint i = gl_GlobalInvocationID.x;
    if (i >= p.n) return;
    x[(p.ox >> 2) + i] += y[(p.oy >> 2) + i];
}
