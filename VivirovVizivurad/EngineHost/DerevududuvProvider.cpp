#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"

#include <QString>

#include <algorithm>
#include <climits>
#include <filesystem>

#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/DerevududuvBrain.h"
#include "VivirovVizivurad/EngineHost/GuiThread.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"

namespace vivirov {

namespace {

constexpr const char* kLoadingText = "Loading local model\xE2\x80\xA6 (this can take a minute)";
constexpr int32_t kDefaultPredict = 256;
constexpr size_t kPlainPromptChars = 180;

bool pathExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

// DeepSeek-V4 files by name: they never go to the first-generation engine.
bool namesDeepSeek(const std::string& path) {
    const std::string name = text::lowercased(std::filesystem::path(path).filename().string());
    return name.find("zov4") != std::string::npos || name.find("deepseek") != std::string::npos ||
           name.find("core-only") != std::string::npos ||
           text::lowercased(path).find("deepseek-v4") != std::string::npos;
}

int32_t predictCount() {
    const int64_t n = env::integer("VIVIROV_VM_NPREDICT").value_or(kDefaultPredict);
    return int32_t(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

ProviderResponse answer(std::string content) {
    ProviderResponse response;
    response.content = std::move(content);
    response.stopReason = StopReason::endTurn();
    return response;
}

} // namespace

DerevududuvProvider::DerevududuvProvider(std::string modelPath)
    : ProviderBase(std::nullopt, std::string()), model_(std::move(modelPath)) {}

std::string DerevududuvProvider::displayName() const {
    return "Local \xC2\xB7 Derevududuv (Qwen chat \xC2\xB7 ZOV4 LIVE separate)";
}

bool DerevududuvProvider::isReady() const { return pathExists(model()); }

std::string DerevududuvProvider::model() const {
    std::lock_guard lock(stateMutex_);
    return model_;
}

void DerevududuvProvider::setModel(std::string model) {
    std::shared_ptr<DerevududuvBrain> dropped;
    {
        std::lock_guard lock(stateMutex_);
        if (model == model_) return;
        model_ = std::move(model);
        dropped = std::move(brain_);
    }
    // `dropped` lets go here, outside the lock: a generation still running on
    // it holds its own reference and frees the engine when it ends.
}

bool DerevududuvProvider::hasLoadedEngine() const {
    std::lock_guard lock(stateMutex_);
    return brain_ != nullptr;
}

ProviderResponse DerevududuvProvider::stream(const std::vector<ProviderChatMessage>& messages,
                                             const std::vector<ToolSchema>&, double, const OnDelta& onDelta,
                                             std::stop_token cancel) {
    throwIfCancelled(cancel);
    const bool deepSeekModel = namesDeepSeek(model());
    const bool liveDeepSeek = runOnGuiThread([] { return VizivuradEngine::shared().runsLiveDeepSeek(); });
    if (deepSeekModel || liveDeepSeek) return streamSecondGeneration(messages, onDelta, cancel);
    return streamFirstGeneration(messages, onDelta, cancel);
}

ProviderResponse DerevududuvProvider::streamSecondGeneration(const std::vector<ProviderChatMessage>& messages,
                                                             const OnDelta& onDelta, const std::stop_token& cancel) {
    const std::string prompt = buildPlainChatPrompt(messages);
    logLine("[derevududuv-provider] ZOV4 chat \xE2\x86\x92 VizivuradEngine.streamChatText (" +
            std::to_string(text::graphemeCount(prompt)) + " chars prompt)");
    std::string accumulated;
    // Pieces arrive on the GUI thread while this worker waits for the turn.
    const std::string returned = VizivuradEngine::shared().streamChatText(
        prompt,
        [&](const std::string& piece) {
            accumulated += piece;
            if (onDelta) onDelta(StreamDelta::text(piece));
        },
        cancel);
    throwIfCancelled(cancel);
    // The returned text is the whole generation; the pieces may miss a tail
    // that the host's last drain did not deliver.
    std::string content = returned.empty() ? accumulated : returned;
    if (content.empty())
        throw LLMProviderError::notReady(
            "ZOV4 Core-Only engine produced no tokens \xE2\x80\x94 check LIVE ZOV4 / mlock / logs");
    return answer(std::move(content));
}

ProviderResponse DerevududuvProvider::streamFirstGeneration(const std::vector<ProviderChatMessage>& messages,
                                                            const OnDelta& onDelta, const std::stop_token& cancel) {
    const std::string prompt = buildQwenChatPrompt(messages);
    bool firstLoad;
    {
        std::lock_guard lock(stateMutex_);
        firstLoad = brain_ == nullptr;
    }
    if (firstLoad) postToGuiThread([] { VizivuradEngine::shared().setLoadingStatus(QString::fromUtf8(kLoadingText)); });
    std::shared_ptr<DerevududuvBrain> brain;
    try {
        brain = engineForTurn();
    } catch (...) {
        if (firstLoad) postToGuiThread([] { VizivuradEngine::shared().clearLoadingStatus(); });
        throw;
    }
    if (firstLoad) postToGuiThread([] { VizivuradEngine::shared().clearLoadingStatus(); });

    std::string accumulated;
    // A stop asked for before the engine noticed this generation is caught by
    // the piece sink, which asks again from inside it.
    std::stop_callback stopEngine(cancel, [&brain] { brain->requestStop(); });
    const DerevududuvBrain::Outcome outcome =
        brain->generate(prompt, predictCount(), [&](const std::string& piece) {
            if (cancel.stop_requested()) {
                brain->requestStop();
                return;
            }
            accumulated += piece;
            if (onDelta) onDelta(StreamDelta::text(piece));
        });
    if (outcome.stopped || cancel.stop_requested()) throw CancellationError();
    return answer(std::move(accumulated));
}

std::shared_ptr<DerevududuvBrain> DerevududuvProvider::engineForTurn() {
    std::lock_guard load(loadMutex_);
    std::string path;
    {
        std::lock_guard lock(stateMutex_);
        if (brain_) return brain_;
        path = model_;
    }
    if (!pathExists(path)) throw LLMProviderError::notReady("Derevududuv model not found: " + path);
    std::shared_ptr<DerevududuvBrain> brain = DerevududuvBrain::load(path);
    if (!brain) throw LLMProviderError::notReady("Derevududuv engine failed to load: " + path);
    {
        std::lock_guard lock(stateMutex_);
        // Kept only while it is still the chosen model: a model changed during
        // the load must not be answered by the old file on later turns.
        if (model_ == path) brain_ = brain;
    }
    return brain;
}

std::string DerevududuvProvider::buildPlainChatPrompt(const std::vector<ProviderChatMessage>& messages) {
    std::string content = "Hello";
    if (!messages.empty()) {
        auto user = std::find_if(messages.rbegin(), messages.rend(),
                                 [](const ProviderChatMessage& m) { return m.role == ProviderRole::user; });
        content = user != messages.rend() ? user->content : messages.back().content;
    }
    content = text::graphemePrefix(content, kPlainPromptChars);
    return "### Instruction:\nYou are Vivirov, a helpful assistant. Answer clearly in natural English.\n### Input:\n" +
           content + "\n### Response:\n";
}

std::string DerevududuvProvider::buildQwenChatPrompt(const std::vector<ProviderChatMessage>& messages) {
    std::string out;
    const bool hasSystem = std::any_of(messages.begin(), messages.end(),
                                       [](const ProviderChatMessage& m) { return m.role == ProviderRole::system; });
    if (!hasSystem) out += "<|im_start|>system\nYou are Vivirov, a helpful assistant.<|im_end|>\n";
    for (const ProviderChatMessage& m : messages) {
        switch (m.role) {
        case ProviderRole::system: out += "<|im_start|>system\n" + m.content + "<|im_end|>\n"; break;
        case ProviderRole::user: out += "<|im_start|>user\n" + m.content + "<|im_end|>\n"; break;
        case ProviderRole::assistant: out += "<|im_start|>assistant\n" + m.content + "<|im_end|>\n"; break;
        case ProviderRole::tool:
            out += "<|im_start|>user\n<tool_result>\n" + m.content + "\n</tool_result><|im_end|>\n";
            break;
        }
    }
    return out + "<|im_start|>assistant\n";
}

} // namespace vivirov
