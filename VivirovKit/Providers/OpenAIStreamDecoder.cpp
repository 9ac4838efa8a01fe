#include "VivirovKit/Providers/OpenAIStreamDecoder.h"

#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Providers/OpenAIProvider.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

// The last `n` characters. Long argument texts grow by small fragments, so
// only a window at the end is looked at; a window holding well over `n`
// characters has the same last `n` characters as the whole text.
std::string lastCharacters(const std::string& s, size_t n) {
    constexpr size_t kWindow = 4096;
    if (s.size() > kWindow) {
        size_t from = s.size() - kWindow;
        while (from < s.size() && (static_cast<unsigned char>(s[from]) & 0xC0) == 0x80) ++from;
        std::string_view window = std::string_view(s).substr(from);
        if (text::graphemeCount(window) > n + 8) return text::graphemeSuffix(window, n);
    }
    return text::graphemeSuffix(s, n);
}

} // namespace

OpenAIStreamDecoder::OpenAIStreamDecoder(std::string providerID, OnDelta onDelta, std::optional<bool> surfaceReasoning)
    : providerID_(std::move(providerID)), onDelta_(std::move(onDelta)), think_(surfaceReasoning) {}

StopReason OpenAIStreamDecoder::mapFinishReason(const std::string& reason) {
    if (reason == "stop") return StopReason::endTurn();
    if (reason == "tool_calls") return StopReason::toolUse();
    if (reason == "length") return StopReason::length();
    if (reason == "content_filter") return StopReason::contentFilter();
    return StopReason::other(reason);
}

void OpenAIStreamDecoder::emitPieces(const std::vector<ThinkStreamParser::Piece>& pieces) {
    for (const auto& piece : pieces) {
        if (piece.kind == ThinkStreamParser::Piece::Kind::reasoning) {
            if (onDelta_) onDelta_(StreamDelta::reasoning(piece.text));
        } else {
            answer_ += piece.text;
            if (onDelta_) onDelta_(StreamDelta::text(piece.text));
        }
    }
}

bool OpenAIStreamDecoder::consumeLine(std::string_view line) {
    auto payload = LLMProviderSupport::dataPayload(line);
    if (!payload) return true;
    if (*payload == "[DONE]") return false;
    auto chunk = json::parse(*payload);
    if (chunk && chunk->is_object()) handleChunk(*chunk);
    return true;
}

void OpenAIStreamDecoder::handleChunk(const json::Value& chunk) {
    const json::Value* choices = json::arrayMember(chunk, "choices");
    if (!choices || choices->empty()) return;
    for (const auto& c : *choices)
        if (!c.is_object()) return;
    const json::Value& choice = choices->front();

    if (const json::Value* delta = json::objectMember(choice, "delta")) {
        if (auto reasoning = json::stringMember(*delta, "reasoning_content"); reasoning && !reasoning->empty())
            emitPieces(think_.feed(*reasoning, true));
        if (auto content = json::stringMember(*delta, "content"); content && !content->empty())
            emitPieces(think_.feed(*content, false));
        if (const json::Value* calls = json::arrayMember(*delta, "tool_calls")) {
            bool allObjects = true;
            for (const auto& c : *calls) allObjects = allObjects && c.is_object();
            if (allObjects) {
                toolCallsSeen_ = true;
                for (const auto& fragment : *calls) handleToolFragment(fragment);
            }
        }
    }
    if (auto finish = json::stringMember(choice, "finish_reason")) stopReason_ = mapFinishReason(*finish);
    if (const json::Value* usage = json::objectMember(chunk, "usage")) {
        promptTokens_ = json::integerMember(*usage, "prompt_tokens").value_or(0);
        completionTokens_ = json::integerMember(*usage, "completion_tokens").value_or(0);
    }
}

void OpenAIStreamDecoder::handleToolFragment(const json::Value& fragment) {
    if (fragment.empty()) return;
    auto index = json::integerMember(fragment, "index");
    if (!index) return;
    const int64_t i = *index;
    largestIndex_ = std::max(largestIndex_, i);
    const json::Value* function = json::objectMember(fragment, "function");
    if (function) {
        if (auto name = json::stringMember(*function, "name"); name && !name->empty()) names_[i] = *name;
    }
    if (auto id = json::stringMember(fragment, "id"); id && !id->empty()) ids_[i] = *id;
    if (function) {
        if (auto args = json::stringMember(*function, "arguments"); args && !args->empty()) {
            std::string& text = arguments_[i];
            text += *args;
            auto name = names_.find(i);
            if (onDelta_)
                onDelta_(StreamDelta::toolArgProgress(int(i), name == names_.end() ? "tool" : name->second,
                                                      lastCharacters(text, kProgressTail)));
        }
    }
}

ProviderResponse OpenAIStreamDecoder::finish() {
    emitPieces(think_.flush());
    ProviderResponse response;
    response.content = answer_;
    if (!think_.reasoning().empty())
        response.content = "<think>\n" + think_.reasoning() + "\n</think>\n" + answer_;

    if (toolCallsSeen_) {
        for (auto& [index, name] : names_) {
            if (index < 0 || index > largestIndex_) continue;
            auto id = ids_.find(index);
            auto args = arguments_.find(index);
            ProviderToolCall call{id != ids_.end() ? id->second : "call_" + std::to_string(index), name,
                                  LLMProviderSupport::parseArgsJSON(args != arguments_.end() ? args->second : "")};
            response.toolCalls.push_back(call);
            if (onDelta_) onDelta_(StreamDelta::toolCall(std::move(call)));
        }
        // Only a turn that actually asks for a tool is a tool-use turn: an
        // empty or nameless tool_calls list on a finished answer must not
        // make the caller wait for calls that never come.
        if (stopReason_ == StopReason::endTurn() && !response.toolCalls.empty()) stopReason_ = StopReason::toolUse();
    }
    if (OpenAIProvider::isRizeruFamily(providerID_))
        response.content = OpenAIProvider::stripEmptyThinkWrappers(response.content);
    response.stopReason = stopReason_;
    response.usage = TokenUsage{promptTokens_, completionTokens_};
    return response;
}

} // namespace vivirov
