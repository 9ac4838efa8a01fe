#include "VivirovKit/Agentic/ToolCallTextForms.h"

#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/LooseToolCallParser.h"
#include "VivirovKit/Agentic/ToolCallEnvelope.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Tools/ToolArguments.h"

namespace vivirov {

namespace {
constexpr int maxEnvelopes = 8;
}

std::vector<ProviderToolCall> ToolCallTextForms::parseTextToolCalls(std::string_view text,
                                                                    const std::set<std::string>& knownTools) {
    std::vector<ProviderToolCall> calls;
    GraphemeText characters(text);
    size_t rest = 0; // character where the unread rest begins
    for (int n = 0; n < maxEnvelopes; ++n) {
        auto envelope = ToolCallEnvelope::find(characters, rest);
        if (!envelope) break;
        std::string_view inner = text.substr(envelope->innerStart, envelope->innerEnd - envelope->innerStart);
        if (auto call = toolCall(inner, "txt-" + std::to_string(n))) calls.push_back(std::move(*call));
        if (envelope->suffixCharacter <= rest) break; // no progress
        rest = envelope->suffixCharacter;
    }
    if (calls.empty()) return LooseToolCallParser::parseLooseToolCalls(text, knownTools);
    return calls;
}

std::optional<ProviderToolCall> ToolCallTextForms::toolCall(std::string_view innerJSON, std::string id) {
    auto object = json::parse(innerJSON);
    if (!object || !object->is_object()) return std::nullopt;

    std::optional<std::string> name;
    if (auto tool = object->find("tool"); tool != object->end() && tool->is_string())
        name = tool->get<std::string>();
    else
        name = json::stringMember(*object, "name");
    if (!name || name->empty()) return std::nullopt;

    ProviderToolCall call;
    call.id = std::move(id);
    call.name = std::move(*name);
    call.arguments = callArguments(*object);
    return call;
}

void ToolCallTextForms::appendObservation(std::vector<ProviderChatMessage>& messages, bool textMode,
                                          const ProviderToolCall& call, const std::string& content) {
    if (textMode) {
        messages.push_back(ProviderChatMessage::make(
            ProviderRole::user, "<tool_result tool=\"" + call.name + "\">\n" + content + "\n</tool_result>"));
        return;
    }
    auto message = ProviderChatMessage::make(ProviderRole::tool, content);
    message.toolCallID = call.id;
    message.toolName = call.name;
    messages.push_back(std::move(message));
}

} // namespace vivirov
