#version 450
// dst (M×N) = the first N columns of src (M×Np).
layout(local_size_x = 16, local_size_y = 16) in;
layout(std430, binding = 0) readonly buffer S { float src[]; };
layout(std430, binding = 1) writeonly buffer D { float dst[]; };
layout(push_constant) uniform P { uint os, od, M, N, Np; } p;

void main() {
    uint x = gl_GlobalInvocationID.x, y = gl_GlobalInvocationID.y;
    if (x >= p.N || y >= p.M) return;
    dst[(p.od >> 2) + y * p.N + x] = src[(p.os >> 2) + y * p.Np + x];
}
