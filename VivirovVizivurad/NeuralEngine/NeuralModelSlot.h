#pragma once
// The model file a neural-engine helper runs, and the model loaded from it.
// Reloading swaps the model atomically: a run in flight keeps the one it took.
#include <atomic>
#include <memory>
#include <string>

#include "VivirovVizivurad/NeuralEngine/NeuralModel.h"

namespace vivirov {

class NeuralModelSlot {
public:
    // `logTag` prefixes the "load failed" line, e.g. "[ANERouterOracle]".
    NeuralModelSlot(std::string path, std::string inputName, std::string outputName, std::string logTag);

    // Loads the file with the current runtime when something exists at the
    // path (silently none otherwise); logs "<logTag> load failed: <reason>"
    // and holds none when the load fails.
    void reload();
    std::shared_ptr<NeuralModel> model() const { return model_.load(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string inputName_;
    std::string outputName_;
    std::string logTag_;
    std::atomic<std::shared_ptr<NeuralModel>> model_;
};

} // namespace vivirov
