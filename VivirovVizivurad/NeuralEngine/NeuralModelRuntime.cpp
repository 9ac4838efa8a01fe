#include "VivirovVizivurad/NeuralEngine/NeuralModelRuntime.h"

#include <atomic>
#include <filesystem>

#include "VivirovKit/Support/Log.h"
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

std::shared_ptr<NeuralModel> NeuralModelRuntime::loadIfPresent(const std::string& path, const std::string& inputName,
                                                               const std::string& outputName,
                                                               const std::string& logTag) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return nullptr;
    std::string error;
    auto model = current().load(path, inputName, outputName, error);
    if (!model) logLine(logTag + " load failed: " + (error.empty() ? "unknown error" : error));
    return model;
}

} // namespace vivirov
