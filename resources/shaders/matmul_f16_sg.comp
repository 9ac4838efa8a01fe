#version 450
#extension GL_GOOGLE_include_directive : require
// C (M×N) = A (M×K float) · B (K×N); M and N multiples of 8, no bounds checks:
// callers pad with zero rows and columns.
layout(std430, binding = 0) readonly buffer AA { float a[]; };
layout(std430, binding = 1) readonly buffer BB { float b[]; };
layout(std430, binding = 2) writeonly buffer CC { float c[]; };
layout(push_constant) uniform P { uint oa, ob, oc, M, K, N; } p;

float a_cell(uint row, uint col) { return a[(p.oa >> 2) + row * p.K + col]; }
float b_cell(uint row, uint col) { return b[(p.ob >> 2) + row * p.N + col]; }

#include "tile_mma.glsl"

void main() { tile_mma(p.K, p.N, p.oc >> 2); }
