#pragma once
// The one count of CPU threads the engine computes on at once. Every engine
// thread pool sizes itself from it — the deterministic pool, the
// first-generation parallel-for, the large-matrix parallel loop, the forward
// pass's matrix threads — and OpenBLAS is set to it on first use, so no two
// layers each take every core.
namespace vm {

// The count VIVIROV_ENGINE_THREADS sets (1-64; other values are ignored),
// which tests use to run the engine on fewer or more threads than the
// machine has; else the count the application gave set_thread_budget; else
// the hardware thread count (8 when the platform reports none). Fixed by the
// first call of either function; that call also sets OpenBLAS's thread count.
int thread_budget();

// Offers the application's count (values below 1 are ignored) before the
// budget is first used; returns the budget in effect.
int set_thread_budget(int threads);

} // namespace vm
