#version 450
// Keeps x[i] when |x[i]| > epsilon, else writes 0; counts the survivors.
layout(local_size_x = 256) in;
layout(std430, binding = 0) buffer XX { float x[]; };
layout(std430, binding = 1) buffer NN { uint nnz; };
layout(push_constant) uniform P { uint ox, on, n; float epsilon; } p;

void main() {
    uint i = gl_GlobalInvocationID.x;
    if (i >= p.n) return;
    float v = x[(p.ox >> 2) + i];
    bool kept = v > p.epsilon || v < -p.epsilon;
    x[(p.ox >> 2) + i] = kept ? v : 0.0;
    if (kept) atomicAdd(nnz, 1u);
}
