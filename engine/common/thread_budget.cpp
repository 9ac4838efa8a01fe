#include "common/thread_budget.h"

#include <cblas.h>

#include <cstdlib>
#include <mutex>
#include <thread>

namespace vm {

namespace {

int g_budget = 0;
std::once_flag g_fixed;

void fix(int offered) {
    std::call_once(g_fixed, [offered] {
        const unsigned hw = std::thread::hardware_concurrency();
        int n = offered >= 1 ? offered : (hw ? int(hw) : 8);
        if (const char* v = std::getenv("VIVIROV_ENGINE_THREADS")) {
            char* end = nullptr;
            const long want = std::strtol(v, &end, 10);
            if (end != v && *end == '\0' && want >= 1 && want <= 64) n = int(want);
        }
        // BLAS work runs inside pool jobs, one call per participant, so
        // OpenBLAS's own threads would only compete with the pool's.
        openblas_set_num_threads(1);
        g_budget = n;
    });
}

} // namespace

int thread_budget() {
    fix(0);
    return g_budget;
}

int set_thread_budget(int threads) {
    fix(threads);
    return g_budget;
}

} // namespace vm
