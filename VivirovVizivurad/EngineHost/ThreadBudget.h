#pragma once

namespace vivirov {

// One thread count for the whole process, fixed where the app starts: the
// CPUs this process may run on (its affinity, not every core of the
// machine). The kit's shared worker pool is sized from it, and the
// first-generation engine's parallel work takes one thread less, so a decode
// leaves a core to the GUI thread.
struct ThreadBudget {
    unsigned total = 1;
    unsigned workerPool = 1;
    unsigned engine = 1;

    static ThreadBudget forCPUs(unsigned cpus);
    // The CPUs in this process's affinity mask (at least 1).
    static unsigned availableCPUs();
    // Computes the budget and hands it to the pool and the engine; call before
    // either starts any work. Returns what they took.
    static ThreadBudget applyAtStartup();
};

} // namespace vivirov
