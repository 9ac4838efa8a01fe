#include "VivirovKit/Providers/GeminiStreamDecoder.h"

#include "VivirovKit/Providers/LLMProviderSupport.h"

namespace vivirov {

namespace {

bool isListOfObjects(const json::Value* list) {
    if (!list) return false;
    for (const auto& element : *list)
        if (!element.is_object()) return false;
    return true;
}

} // namespace

GeminiStreamDecoder::GeminiStreamDecoder(OnDelta onDelta) : onDelta_(std::move(onDelta)) {}

StopReason GeminiStreamDecoder::mapFinishReason(const std::string& reason) {
    if (reason == "STOP") return StopReason::endTurn();
    if (reason == "MAX_TOKENS") return StopReason::length();
    if (reason == "SAFETY") return StopReason::contentFilter();
    return StopReason::other(reason);
}

bool GeminiStreamDecoder::consumeLine(std::string_view line) {
    auto payload = LLMProviderSupport::dataPayload(line);
    if (!payload) return true;
    auto chunk = json::parse(*payload);
    if (chunk && chunk->is_object()) handleChunk(*chunk);
    return true;
}

void GeminiStreamDecoder::handleChunk(const json::Value& chunk) {
    if (const json::Value* usage = json::objectMember(chunk, "usageMetadata")) {
        if (auto prompt = json::integerMember(*usage, "promptTokenCount")) promptTokens_ = *prompt;
        if (auto completion = json::integerMember(*usage, "candidatesTokenCount")) completionTokens_ = *completion;
    }
    const json::Value* candidates = json::arrayMember(chunk, "candidates");
    if (!isListOfObjects(candidates) || candidates->empty()) return;
    const json::Value& candidate = candidates->front();

    const json::Value* content = json::objectMember(candidate, "content");
    const json::Value* parts = content ? json::arrayMember(*content, "parts") : nullptr;
    if (isListOfObjects(parts)) {
        for (const auto& part : *parts) {
            if (auto text = json::stringMember(part, "text"); text && !text->empty()) {
                answer_ += *text;
                if (onDelta_) onDelta_(StreamDelta::text(*text));
            }
            const json::Value* function = json::objectMember(part, "functionCall");
            auto name = function ? json::stringMember(*function, "name") : std::nullopt;
            if (!name) continue;
            const json::Value* args = json::objectMember(*function, "args");
            ProviderToolCall call{*name + "-" + std::to_string(calls_.size()), *name,
                                  args ? LLMProviderSupport::flattenArguments(*args)
                                       : std::map<std::string, std::string>{}};
            calls_.push_back(call);
            sawFunctionCall_ = true;
            if (onDelta_) onDelta_(StreamDelta::toolCall(std::move(call)));
        }
    }
    if (auto finish = json::stringMember(candidate, "finishReason")) stopReason_ = mapFinishReason(*finish);
}

ProviderResponse GeminiStreamDecoder::finish() {
    return ProviderResponse{answer_, calls_, sawFunctionCall_ ? StopReason::toolUse() : stopReason_,
                            TokenUsage{promptTokens_, completionTokens_}};
}

} // namespace vivirov
