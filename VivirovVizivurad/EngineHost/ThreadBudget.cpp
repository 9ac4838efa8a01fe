#include "VivirovVizivurad/EngineHost/ThreadBudget.h"

#include <sched.h>

#include <algorithm>
#include <thread>

#include "VivirovKit/Support/WorkerPool.h"
#include "engine/include/vm_engine.h"

namespace vivirov {

ThreadBudget ThreadBudget::forCPUs(unsigned cpus) {
    ThreadBudget b;
    b.total = std::max(1u, cpus);
    b.workerPool = b.total;
    b.engine = std::max(1u, b.total - 1);
    return b;
}

unsigned ThreadBudget::availableCPUs() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

ThreadBudget ThreadBudget::applyAtStartup() {
    ThreadBudget b = forCPUs(availableCPUs());
    b.workerPool = WorkerPool::setSharedSize(b.workerPool);
    b.engine = unsigned(std::max(1, vm_engine_set_threads(int32_t(b.engine))));
    return b;
}

} // namespace vivirov
