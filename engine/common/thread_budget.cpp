#include "common/thread_budget.h"

#include <cblas.h>

#include <cstdlib>
#include <thread>

namespace vm {

int thread_budget() {
    static const int budget = [] {
        const unsigned hw = std::thread::hardware_concurrency();
        int n = hw ? int(hw) : 8;
        if (const char* v = std::getenv("VIVIROV_ENGINE_THREADS")) {
            char* end = nullptr;
            const long want = std::strtol(v, &end, 10);
            if (end != v && *end == '\0' && want >= 1 && want <= 64) n = int(want);
        }
        openblas_set_num_threads(n);
        return n;
    }();
    return budget;
}

} // namespace vm
