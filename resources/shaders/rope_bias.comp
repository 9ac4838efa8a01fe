#version 450
// Rotary embedding with split-half pairs (i, i + head_dim/2), bias added
// before the rotation. The angle is reduced to [-pi, pi] before sin and cos,
// which Vulkan only promises to 2^-11 on that range; log2(theta) comes from
// the host in double precision so the frequency keeps float accuracy.
layout(local_size_x = 64) in;
layout(std430, binding = 0) readonly buffer II { float xin[]; };
layout(std430, binding = 1) readonly buffer BB { float bias[]; };
layout(std430, binding = 2) buffer OO { float xout[]; };
layout(push_constant) uniform P {
    uint oi, ob, oo, heads, head_dim, pos;
    float theta;
    uint has_bias;
    float log2_theta;
} p;

void main() {
    uint hd = p.head_dim / 2u;
    uint g = gl_GlobalInvocationID.x;
    if (hd == 0u || g >= p.heads * hd) return;
    uint base = (g / hd) * p.head_dim, i = g % hd;
    float x0 = xin[(p.oi >> 2) + base + i], x1 = xin[(p.oi >> 2) + base + i + hd];
    if (p.has_bias != 0u) {
        x0 += bias[(p.ob >> 2) + base + i];
        x1 += bias[(p.ob >> 2) + base + i + hd];
    }
    float freq = exp2(-(2.0 * float(i) / float(p.head_dim)) * p.log2_theta);
    float angle = float(p.pos) * freq;
    // Two-part reduction by 2·pi: k·TWO_PI_A is exact for |k| < 2^11.
    const float TWO_PI_A = 6.28125;
    const float TWO_PI_B = 0.0019353071795864769;
    float k = floor(angle * 0.15915494309189535 + 0.5);
    float r = (angle - k * TWO_PI_A) - k * TWO_PI_B;
    float cs = cos(r), sn = sin(r);
    xout[(p.oo >> 2) + base + i] = x0 * cs - x1 * sn;
    xout[(p.oo >> 2) + base + i + hd] = x0 * sn + x1 * cs;
}
