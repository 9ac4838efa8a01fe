#pragma once
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// Tool calls written into a model's plain answer text, and the form in which
// a tool's result goes back into the history. Stateless; safe from any thread.
struct ToolCallTextForms {
    // Reads up to eight <tool_call> envelopes in text order, with the ids
    // "txt-<n>" (n counts envelopes, also rejected ones). Envelope calls are
    // taken whatever their name. When no envelope yields a call, the loose
    // JSON and shorthand forms decide, with `knownTools` as the accepted names.
    static std::vector<ProviderToolCall> parseTextToolCalls(std::string_view text,
                                                            const std::set<std::string>& knownTools);

    // One envelope object: the name from "tool" (or, when "tool" is not a
    // string, "name"), the arguments from the object "args" (else "arguments"),
    // flattened to text. None for non-JSON, a non-object or a missing or empty name.
    static std::optional<ProviderToolCall> toolCall(std::string_view innerJSON, std::string id);

    // Appends one tool result: in text mode a user message in the
    // <tool_result tool="NAME"> form, otherwise a tool message carrying the
    // call's id and name.
    static void appendObservation(std::vector<ProviderChatMessage>& messages, bool textMode,
                                  const ProviderToolCall& call, const std::string& content);
};

} // namespace vivirov
