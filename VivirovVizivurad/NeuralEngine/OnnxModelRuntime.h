#pragma once
// Models run by ONNX Runtime, whose library is opened when first needed. A
// build without the runtime's header, or a machine without its library,
// reports itself unavailable and fails every load with the reason.
#include <mutex>
#include <string>

#include "VivirovVizivurad/NeuralEngine/NeuralModelRuntime.h"

namespace vivirov {

class OnnxModelRuntime final : public NeuralModelRuntime {
public:
    static OnnxModelRuntime& shared();

    // Whether this build was made with the runtime's C API.
    static bool isBuiltIn();

    bool isAvailable() const override;
    // Why the runtime cannot be used; empty when it can.
    std::string unavailableReason() const;
    std::shared_ptr<NeuralModel> load(const std::string& path, const std::string& inputName,
                                      const std::string& outputName, std::string& error) override;

private:
    OnnxModelRuntime() = default;
    // Opens the library and its environment once; false with the reason kept.
    bool open() const;

    mutable std::once_flag opened_;
    mutable std::string reason_;
};

} // namespace vivirov
