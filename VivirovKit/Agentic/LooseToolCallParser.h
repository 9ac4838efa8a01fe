#pragma once
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// The fall-back when an answer holds no usable <tool_call> envelope: a bare or
// fenced JSON object naming a known tool, else the shorthand call form.
// Stateless; safe from any thread.
struct LooseToolCallParser {
    // JSON calls get the ids "loose-<i>", i counting every brace region of the
    // text; only when none is a call, shorthand calls are read, one per known
    // name at most, in ascending name order, with the ids "short-<n>".
    static std::vector<ProviderToolCall> parseLooseToolCalls(std::string_view text,
                                                             const std::set<std::string>& knownTools);

    // The non-overlapping balanced "{" … "}" regions of a text, in order. An
    // unclosed "{" is passed over, so a complete object inside it is still found.
    static std::vector<std::string> balancedBraceRegions(std::string_view text);

    // A region that is a JSON object whose "tool" names a known tool and that
    // is no tool description (it has no "parameters" or "properties").
    static std::optional<ProviderToolCall> looseToolCall(std::string_view json,
                                                         const std::set<std::string>& knownTools,
                                                         std::string id);

    // Removes Markdown code fences ("```json" and "```" become line feeds).
    static std::string withoutFences(std::string_view text);
};

} // namespace vivirov
