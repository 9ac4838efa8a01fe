#include "VivirovKit/Providers/AnthropicStreamDecoder.h"

#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

AnthropicStreamDecoder::AnthropicStreamDecoder(OnDelta onDelta) : onDelta_(std::move(onDelta)) {}

StopReason AnthropicStreamDecoder::mapStopReason(const std::string& reason) {
    if (reason == "end_turn" || reason == "stop_sequence") return StopReason::endTurn();
    if (reason == "tool_use") return StopReason::toolUse();
    if (reason == "max_tokens") return StopReason::length();
    return StopReason::other(reason);
}

bool AnthropicStreamDecoder::consumeLine(std::string_view line) {
    if (line.empty()) {
        if (!pendingType_.empty()) handleEvent(pendingType_, pendingData_);
        pendingType_.clear();
        pendingData_.clear();
        return true;
    }
    if (line.substr(0, 7) == "event: ") pendingType_ = std::string(line.substr(7));
    else if (line.substr(0, 6) == "data: ") pendingData_.append(line.substr(6));
    else if (line.substr(0, 5) == "data:") pendingData_.append(line.substr(5));
    return true;
}

void AnthropicStreamDecoder::handleEvent(const std::string& type, const std::string& data) {
    auto parsed = json::parse(data);
    if (!parsed || !parsed->is_object()) return;
    const json::Value& event = *parsed;

    if (type == "message_start") {
        const json::Value* message = json::objectMember(event, "message");
        const json::Value* usage = message ? json::objectMember(*message, "usage") : nullptr;
        auto input = usage ? json::integerMember(*usage, "input_tokens") : std::nullopt;
        if (input) promptTokens_ = *input;
    } else if (type == "content_block_start") {
        auto index = json::integerMember(event, "index");
        const json::Value* block = json::objectMember(event, "content_block");
        auto blockType = block ? json::stringMember(*block, "type") : std::nullopt;
        if (!index || !blockType) return;
        blockTypes_[*index] = *blockType;
        if (*blockType == "tool_use") {
            auto id = json::stringMember(*block, "id");
            auto name = json::stringMember(*block, "name");
            if (id) callIDs_[*index] = *id;
            else callIDs_.erase(*index);
            if (name) toolNames_[*index] = *name;
            else toolNames_.erase(*index);
            arguments_[*index].clear();
        }
    } else if (type == "content_block_delta") {
        auto index = json::integerMember(event, "index");
        const json::Value* delta = json::objectMember(event, "delta");
        auto deltaType = delta ? json::stringMember(*delta, "type") : std::nullopt;
        if (!index || !deltaType) return;
        if (*deltaType == "text_delta") {
            auto text = json::stringMember(*delta, "text");
            if (!text) return;
            answer_ += *text;
            if (onDelta_) onDelta_(StreamDelta::text(*text));
        } else if (*deltaType == "input_json_delta") {
            auto fragment = json::stringMember(*delta, "partial_json");
            if (!fragment) return;
            auto blockType = blockTypes_.find(*index);
            if (blockType != blockTypes_.end() && blockType->second == "tool_use") arguments_[*index] += *fragment;
        }
    } else if (type == "content_block_stop") {
        auto index = json::integerMember(event, "index");
        if (!index) return;
        auto blockType = blockTypes_.find(*index);
        if (blockType != blockTypes_.end() && blockType->second == "tool_use") {
            auto id = callIDs_.find(*index);
            auto name = toolNames_.find(*index);
            if (id != callIDs_.end() && name != toolNames_.end()) {
                auto args = arguments_.find(*index);
                ProviderToolCall call{id->second, name->second,
                                      LLMProviderSupport::parseArgsJSON(args != arguments_.end() ? args->second : "")};
                calls_.push_back(call);
                if (onDelta_) onDelta_(StreamDelta::toolCall(std::move(call)));
            }
        }
        blockTypes_.erase(*index);
        arguments_.erase(*index);
    } else if (type == "message_delta") {
        const json::Value* delta = json::objectMember(event, "delta");
        auto reason = delta ? json::stringMember(*delta, "stop_reason") : std::nullopt;
        if (!reason) return;
        const json::Value* usage = json::objectMember(event, "usage");
        int64_t output = usage ? json::integerMember(*usage, "output_tokens").value_or(0) : 0;
        stopReason_ = mapStopReason(*reason);
        if (output > 0) completionTokens_ = output;
    } else if (type == "error") {
        // An overloaded or failed stream: what arrived so far stays
        // delivered, but the turn is not a finished answer.
        throw LLMProviderError::transport(LLMProviderSupport::errorMessage(data));
    }
}

ProviderResponse AnthropicStreamDecoder::finish() {
    pendingType_.clear();
    pendingData_.clear();
    return ProviderResponse{answer_, calls_, stopReason_, TokenUsage{promptTokens_, completionTokens_}};
}

} // namespace vivirov
