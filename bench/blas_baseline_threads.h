#pragma once
// The engine keeps OpenBLAS at one thread and parallelises on its own pool;
// a same-run OpenBLAS baseline is only fair with OpenBLAS on the whole
// thread budget. Scoped: the engine's setting is back once it ends, and
// OpenBLAS's workers, which spin for a while after each call, have gone to
// sleep so they do not eat into the engine's next measurement.
#include <cblas.h>

#include <chrono>
#include <thread>

#include "engine/common/thread_budget.h"

namespace vivirov::bench {

struct BlasOnWholeBudget {
    BlasOnWholeBudget() { openblas_set_num_threads(vm::thread_budget()); }
    ~BlasOnWholeBudget() {
        openblas_set_num_threads(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    BlasOnWholeBudget(const BlasOnWholeBudget&) = delete;
    BlasOnWholeBudget& operator=(const BlasOnWholeBudget&) = delete;
};

} // namespace vivirov::bench
