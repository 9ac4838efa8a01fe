#pragma once
#include <functional>
#include <mutex>
#include <vector>

namespace vivirov {

// The process-wide list of hooks that let go of engine resources at quit.
// shutdownAll() runs every hook registered so far, once, in registration
// order, on the calling thread and outside the lock; a later call does
// nothing, and a hook registered after the first call never runs. Hooks bound
// their own waiting: the registry has no time-out.
class EngineTeardownRegistry {
public:
    using Hook = std::function<void()>;

    // The app's registry, run at quit. Tests make their own.
    static EngineTeardownRegistry& shared();

    void registerHook(Hook hook);
    void shutdownAll();

private:

    std::mutex mutex_;
    std::vector<Hook> hooks_;
    bool didRun_ = false;
};

} // namespace vivirov
