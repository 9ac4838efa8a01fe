#include "VivirovVizivurad/NeuralEngine/NeuralModelRuntime.h"

#include <atomic>

#include "VivirovVizivurad/NeuralEngine/OnnxModelRuntime.h"

namespace vivirov {

namespace {
std::atomic<NeuralModelRuntime*> installed{nullptr};
}

NeuralModelRuntime& NeuralModelRuntime::current() {
    NeuralModelRuntime* runtime = installed.load(std::memory_order_acquire);
    return runtime ? *runtime : OnnxModelRuntime::shared();
}

void NeuralModelRuntime::setCurrent(NeuralModelRuntime* runtime) {
    installed.store(runtime, std::memory_order_release);
}

} // namespace vivirov
