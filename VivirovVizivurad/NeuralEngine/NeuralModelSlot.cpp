#include "VivirovVizivurad/NeuralEngine/NeuralModelSlot.h"

#include <filesystem>

#include "VivirovKit/Support/Log.h"
#include "VivirovVizivurad/NeuralEngine/NeuralModelRuntime.h"

namespace vivirov {

NeuralModelSlot::NeuralModelSlot(std::string path, std::string inputName, std::string outputName,
                                 std::string logTag)
    : path_(std::move(path)), inputName_(std::move(inputName)), outputName_(std::move(outputName)),
      logTag_(std::move(logTag)) {}

void NeuralModelSlot::reload() {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        model_.store(nullptr);
        return;
    }
    std::string error;
    std::shared_ptr<NeuralModel> loaded = NeuralModelRuntime::current().load(path_, inputName_, outputName_, error);
    if (!loaded) logLine(logTag_ + " load failed: " + (error.empty() ? "unknown error" : error));
    model_.store(std::move(loaded));
}

} // namespace vivirov
