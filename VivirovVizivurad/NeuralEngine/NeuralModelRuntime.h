#pragma once
// What loads models for the neural-engine helpers. The process uses ONNX
// Runtime unless a test installs another runtime.
#include <memory>
#include <string>

#include "VivirovVizivurad/NeuralEngine/NeuralModel.h"

namespace vivirov {

class NeuralModelRuntime {
public:
    virtual ~NeuralModelRuntime() = default;

    // Whether models can be loaded at all.
    virtual bool isAvailable() const = 0;
    // Loads the model file at `path` to run `inputName` to `outputName`.
    // Returns none with `error` set when the runtime or the file fails.
    virtual std::shared_ptr<NeuralModel> load(const std::string& path, const std::string& inputName,
                                              const std::string& outputName, std::string& error) = 0;

    static NeuralModelRuntime& current();
    static void setCurrent(NeuralModelRuntime* runtime); // nullptr restores ONNX Runtime
};

} // namespace vivirov
