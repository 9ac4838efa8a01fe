#pragma once
// Runs fn(0) … fn(n − 1) on a fixed set of worker threads plus the caller and
// returns when all are done. Each index runs exactly once; which thread runs
// it is not fixed, so jobs must write disjoint outputs.
#include <cstddef>
#include <functional>

namespace vm {

void parallel_for(size_t n, const std::function<void(size_t)>& fn);

// Threads that take part in a parallel_for (the workers and the caller).
size_t parallel_threads();

} // namespace vm
