#pragma once
// The one count of CPU threads the engine computes on at once. Every engine
// thread pool sizes itself from it — the deterministic pool, the
// first-generation parallel-for, the large-matrix parallel loop, the forward
// pass's matrix threads — so no two layers each take every core. OpenBLAS
// is set to one thread on first use: the engine calls it from inside those
// pools, one call per thread, and never lets it start threads of its own.
namespace vm {

// The count VIVIROV_ENGINE_THREADS sets (1-64; other values are ignored),
// which tests use to run the engine on fewer or more threads than the
// machine has; else the count the application gave set_thread_budget; else
// the hardware thread count (8 when the platform reports none). Fixed by the
// first call of either function; that call also sets OpenBLAS to one thread.
int thread_budget();

// Offers the application's count (values below 1 are ignored) before the
// budget is first used; returns the budget in effect.
int set_thread_budget(int threads);

} // namespace vm
