#version 450
#extension GL_GOOGLE_include_directive : require
// Row m: inPad/4 bytes of 2-bit codes (code j of byte b in bits 2j, 2j+1):
// 1 adds Xq, 2 subtracts it, 0 and 3 skip. Integer accumulation.
layout(local_size_x = 64) in;
layout(std430, binding = 0) readonly buffer AA { uint a[]; };
layout(std430, binding = 1) readonly buffer XQ { uint xq[]; };
layout(std430, binding = 2) readonly buffer AL { float alpha[]; };
layout(std430, binding = 3) readonly buffer SX { float sx[]; };
layout(std430, binding = 4) writeonly buffer CC { float c[]; };
layout(std430, binding = 5) writeonly buffer DA { int dacc[]; };
layout(push_constant) uniform P { uint oa, ox, oal, osx, oc, od, M, inPad; } p;

#include "int8_bytes.glsl"

void main() {
    uint m = gl_GlobalInvocationID.x;
    if (m >= p.M) return;
    uint row_bytes = p.inPad / 4u;
    int sum = 0;
    for (uint bi = 0u; bi < row_bytes; ++bi) {
        uint o = p.oa + m * row_bytes + bi;
        uint byte_v = (a[o >> 2] >> ((o & 3u) << 3)) & 0xFFu;
        for (uint j = 0u; j < 4u; ++j) {
            uint code = (byte_v >> (2u * j)) & 3u;
            int v = xq_at(p.ox + 4u * bi + j);
            if (code == 1u) sum += v;
            else if (code == 2u) sum -= v;
        }
    }
    dacc[(p.od >> 2) + m] = sum;
    c[(p.oc >> 2) + m] = alpha[(p.oal >> 2) + m] * sx[p.osx >> 2] * float(sum);
}
