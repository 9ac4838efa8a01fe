#pragma once
// The in-process engine seen as an ordinary chat provider ("derevududuv"),
// built over the path of a GGUF model file. Construction loads nothing.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "VivirovKit/Providers/ProviderBase.h"

namespace vivirov {

class DerevududuvBrain;

// Each turn goes to the second-generation engine (through the engine host's
// streamChatText) for DeepSeek-V4 models or while a live DeepSeek-V4 engine
// runs, else to a first-generation engine the provider loads on its first
// such turn and keeps until the model changes. The key is stored and
// returned; nothing uses it. The model is the file path.
class DerevududuvProvider : public ProviderBase {
public:
    explicit DerevududuvProvider(std::string modelPath);

    std::string id() const override { return "derevududuv"; }
    std::string displayName() const override;
    // The model path is not empty and something exists at it.
    bool isReady() const override;
    bool supportsVision() const override { return false; }
    std::string model() const override;
    // Another path drops the loaded engine; the next turn loads the new file.
    // A generation already running finishes on the engine it started with.
    void setModel(std::string model) override;

    // Tools and temperature are ignored. Fails with LLMProviderError::notReady
    // when no engine can answer; a stopped `cancel` ends the generation within
    // one token step and throws CancellationError.
    ProviderResponse stream(const std::vector<ProviderChatMessage>& messages, const std::vector<ToolSchema>& tools,
                            double temperature, const OnDelta& onDelta, std::stop_token cancel = {}) override;

    // The one instruction-style prompt of the second-generation path.
    static std::string buildPlainChatPrompt(const std::vector<ProviderChatMessage>& messages);
    // The whole history in chat markup, for the first-generation path.
    static std::string buildQwenChatPrompt(const std::vector<ProviderChatMessage>& messages);

    // Whether a loaded first-generation engine is held (for tests and status).
    bool hasLoadedEngine() const;

private:
    ProviderResponse streamSecondGeneration(const std::vector<ProviderChatMessage>& messages, const OnDelta& onDelta,
                                            const std::stop_token& cancel);
    ProviderResponse streamFirstGeneration(const std::vector<ProviderChatMessage>& messages, const OnDelta& onDelta,
                                           const std::stop_token& cancel);
    std::shared_ptr<DerevududuvBrain> engineForTurn();

    mutable std::mutex stateMutex_; // guards model_ and brain_
    std::string model_;
    std::shared_ptr<DerevududuvBrain> brain_;
    std::mutex loadMutex_; // one load at a time; taken before stateMutex_, never inside it
};

} // namespace vivirov
