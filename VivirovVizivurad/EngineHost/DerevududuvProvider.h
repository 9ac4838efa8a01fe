#pragma once
// The in-process engine seen as an ordinary chat provider ("derevududuv"),
// built over the path of a GGUF model file. Construction loads nothing.
#include <mutex>
#include <optional>
#include <string>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

class DerevududuvProvider : public LLMProvider {
public:
    explicit DerevududuvProvider(std::string modelPath);

    std::string id() const override { return "derevududuv"; }
    std::string displayName() const override;
    // The model path is not empty and something exists at it.
    bool isReady() const override;
    bool supportsVision() const override { return false; }

    // Stored and returned; nothing uses it.
    std::optional<std::string> apiKey() const override;
    void setApiKey(std::optional<std::string> key) override;
    // The model file path.
    std::string model() const override;
    void setModel(std::string model) override;

    // Fails with LLMProviderError::notReady naming the model path.
    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double temperature, const OnDelta& onDelta, std::stop_token cancel = {}) override;

private:
    mutable std::mutex stateLock_;
    std::optional<std::string> apiKey_;
    std::string model_;
};

} // namespace vivirov
