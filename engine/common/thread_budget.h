#pragma once
// The one count of CPU threads the engine computes on at once. Every engine
// thread pool sizes itself from it — the deterministic pool, the
// first-generation parallel-for, the large-matrix parallel loop, the forward
// pass's matrix threads — and OpenBLAS is set to it on first use, so no two
// layers each take every core.
namespace vm {

// The hardware thread count (8 when the platform reports none), or the count
// VIVIROV_ENGINE_THREADS sets (1-64; other values are ignored), which tests
// use to run the engine on fewer or more threads than the machine has. Read
// once per process; the first call also sets OpenBLAS's thread count to it.
int thread_budget();

} // namespace vm
