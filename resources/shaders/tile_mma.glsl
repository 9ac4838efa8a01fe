// An 8×8 tile of C per workgroup of 32 invocations, standing for one SIMD
// group: each invocation owns two cells of every 8×8 operand tile, fixed by
// its lane number L (row r, columns c0 and c0 + 1), stages them through
// workgroup memory and accumulates its two result cells. The includer
// defines float a_cell(uint row, uint col) and float b_cell(uint row, uint col)
// and the row stride N of B and C. Nothing depends on the subgroup size.
layout(local_size_x = 32) in;

shared float tile_a[8][8];
shared float tile_b[8][8];

void tile_mma(uint K, uint N, uint c_base) {
    uint L = gl_LocalInvocationID.x;
    uint r = 4u * (L / 16u) + (L % 8u) / 2u;
    uint c0 = 4u * ((L % 16u) / 8u) + 2u * (L % 2u);
    uint c1 = c0 + 1u;
    uint ty = 8u * gl_WorkGroupID.y, tx = 8u * gl_WorkGroupID.x;
    float acc0 = 0.0, acc1 = 0.0;
    for (uint k = 0u; k < K; k += 8u) {
        tile_a[r][c0] = a_cell(ty + r, k + c0);
        tile_a[r][c1] = a_cell(ty + r, k + c1);
        tile_b[r][c0] = b_cell(k + r, tx + c0);
        tile_b[r][c1] = b_cell(k + r, tx + c1);
        barrier();
        for (uint j = 0u; j < 8u; ++j) {
            acc0 += tile_a[r][j] * tile_b[j][c0];
            acc1 += tile_a[r][j] * tile_b[j][c1];
        }
        barrier();
    }
    c[c_base + (ty + r) * N + tx + c0] = acc0;
    c[c_base + (ty + r) * N + tx + c1] = acc1;
}
