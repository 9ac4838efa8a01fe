#pragma once
// The in-process engine seen as an ordinary chat provider ("derevududuv"),
// built over the path of a GGUF model file. Construction loads nothing.
#include <string>

#include "VivirovKit/Providers/ProviderBase.h"

namespace vivirov {

// The key is stored and returned; nothing uses it. The model is the file path.
class DerevududuvProvider : public ProviderBase {
public:
    explicit DerevududuvProvider(std::string modelPath);

    std::string id() const override { return "derevududuv"; }
    std::string displayName() const override;
    // The model path is not empty and something exists at it.
    bool isReady() const override;
    bool supportsVision() const override { return false; }

    // Fails with LLMProviderError::notReady naming the model path.
    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double temperature, const OnDelta& onDelta, std::stop_token cancel = {}) override;
};

} // namespace vivirov
