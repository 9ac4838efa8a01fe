#pragma once
// The CPU decode step's weight products, several per hand-off to the engine's
// pool: the small products of one layer stage (Q, K and V; gate and up) cost
// more in hand-offs than in arithmetic when each is its own pool job. Rows are
// claimed in runs of up to a hundred kilobytes of weights across all products
// of the stage, and every row is computed by a single-thread kernel, so the
// results are bit for bit those of one product at a time, for any number of
// workers.
#include <cstdint>
#include <initializer_list>

struct GGUFTensor;

namespace vivirov::dense {

struct Product {
    const GGUFTensor* w; // rows dims[1] of dims[0] columns
    const float* x;
    float* y;
};

// Whether the CPU kernels multiply `w` (present, a type they serve, whole
// blocks per row).
bool cpu_multiplies(const GGUFTensor* w);

// Work in `count` independent pieces that any participant of a job may take
// (piece i by run(ctx, i)): memory-bound chores that need none of the job's
// outputs hide behind its products.
struct Pieces {
    int32_t count = 0;
    void (*run)(void* ctx, int32_t piece) = nullptr;
    void* ctx = nullptr;
};

// y = W·x for every product, in one pool job (one per four products; the
// pieces go with the first, claimed before its rows). A null matrix is
// skipped; every other must satisfy cpu_multiplies.
void cpu_products(std::initializer_list<Product> products, Pieces beside = {});

// The pieces alone, in one pool job.
void cpu_pieces(Pieces pieces);

// gate = Wg·x, up = Wu·x and act = SwiGLU(gate, up) over n_ff rows, in one
// pool job: a claimed range of rows is finished, activation included, by the
// thread that claimed it. Both matrices must satisfy cpu_multiplies and have
// n_ff rows.
void cpu_gated_ffn(const GGUFTensor* gate_w, const GGUFTensor* up_w, const float* x, float* gate, float* up,
                   float* act, int32_t n_ff);

} // namespace vivirov::dense
