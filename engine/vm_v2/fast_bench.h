#pragma once
// The fast-benchmark mode's banner and its minimal-run rule.
namespace vm::fast_bench {

// Prints the banner once per process when VIVIROV_FAST_BENCH is on.
void log_once();
// VIVIROV_BENCH_MINIMAL on, or else VIVIROV_FAST_BENCH on.
bool minimal_mode();

} // namespace vm::fast_bench
