#include "VivirovVizivurad/EngineHost/EngineTeardownRegistry.h"

namespace vivirov {

EngineTeardownRegistry& EngineTeardownRegistry::shared() {
    // Never destroyed: hooks registered after the run stay held until exit.
    static auto* instance = new EngineTeardownRegistry;
    return *instance;
}

void EngineTeardownRegistry::registerHook(Hook hook) {
    std::lock_guard lock(mutex_);
    hooks_.push_back(std::move(hook));
}

void EngineTeardownRegistry::shutdownAll() {
    std::vector<Hook> taken;
    {
        std::lock_guard lock(mutex_);
        if (didRun_) return;
        didRun_ = true;
        taken.swap(hooks_);
    }
    for (auto& hook : taken)
        if (hook) hook();
}

} // namespace vivirov
