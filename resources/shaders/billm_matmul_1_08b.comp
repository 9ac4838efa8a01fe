#version 450
#extension GL_GOOGLE_include_directive : require
// Dense sign plane B1 (bit set adds Xq, clear subtracts) plus a salient sign
// plane B2 over the columns salCols (a column >= inPad is skipped); 32-bit
// integer accumulation, C = sx · (alpha·acc1 + beta·acc2).
layout(local_size_x = 64) in;
layout(std430, binding = 0) readonly buffer B1 { uint b1[]; };
layout(std430, binding = 1) readonly buffer XQ { uint xq[]; };
layout(std430, binding = 2) readonly buffer SX { float sx[]; };
layout(std430, binding = 3) readonly buffer AL { float alpha[]; };
layout(std430, binding = 4) readonly buffer BE { float beta[]; };
layout(std430, binding = 5) readonly buffer SC { uint sal_cols[]; };
layout(std430, binding = 6) readonly buffer B2 { uint b2[]; };
layout(std430, binding = 7) writeonly buffer CC { float c[]; };
layout(std430, binding = 8) writeonly buffer A1 { int acc1_out[]; };
layout(std430, binding = 9) writeonly buffer A2 { int acc2_out[]; };
layout(push_constant) uniform P {
    uint ob1, ox, osx, oal, obe, osc, ob2, oc, oa1, oa2, M, inPad, nSal;
} p;

#include "int8_bytes.glsl"

uint b1_byte(uint o) { return (b1[o >> 2] >> ((o & 3u) << 3)) & 0xFFu; }
uint b2_byte(uint o) { return (b2[o >> 2] >> ((o & 3u) << 3)) & 0xFFu; }

void main() {
    uint m = gl_GlobalInvocationID.x;
    if (m >= p.M) return;
    uint row1 = p.inPad / 8u;
    int acc1 = 0;
    for (uint bi = 0u; bi < row1; ++bi) {
        uint byte_v = b1_byte(p.ob1 + m * row1 + bi);
        for (uint j = 0u; j < 8u; ++j) {
            int v = xq_at(p.ox + 8u * bi + j);
            acc1 += ((byte_v >> j) & 1u) == 1u ? v : -v;
        }
    }
    uint row2 = (p.nSal + 7u) / 8u;
    int acc2 = 0;
    for (uint j = 0u; j < p.nSal; ++j) {
        uint col = sal_cols[(p.osc >> 2) + j];
        if (col >= p.inPad) continue;
        uint byte_v = b2_byte(p.ob2 + m * row2 + j / 8u);
        int v = xq_at(p.ox + col);
        acc2 += ((byte_v >> (j % 8u)) & 1u) == 1u ? v : -v;
    }
    acc1_out[(p.oa1 >> 2) + m] = acc1;
    acc2_out[(p.oa2 >> 2) + m] = acc2;
    c[(p.oc >> 2) + m] = sx[p.osx >> 2] * (alpha[(p.oal >> 2) + m] * float(acc1) + beta[(p.obe >> 2) + m] * float(acc2));
}
