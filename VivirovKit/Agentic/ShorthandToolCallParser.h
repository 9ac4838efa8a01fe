#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Agentic/BracketMatcher.h"
#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Tools/ToolArguments.h"

namespace vivirov {

// Calls written like function calls: a tool name, then "(" … ")" or "{" … "}"
// holding a JSON object's members, key-value pairs, or one quoted value.
// One parser reads one text; it keeps the bracket matches between names.
class ShorthandToolCallParser {
public:
    explicit ShorthandToolCallParser(const GraphemeText& text) : text_(text) {}

    // The first occurrence of `name` that stands as a word of its own, is
    // followed (after white space) by a bracket, and whose bracket body gives
    // arguments. An unclosed bracket takes the rest of the text.
    std::optional<ProviderToolCall> shorthandCall(const std::string& name, std::string id);

    // Arguments from a bracket body: a JSON object (the body itself, or the
    // body wrapped in braces); one quoted value, under the tool's primary key;
    // or "key=value" / "key: value" pairs separated by "," or line breaks,
    // where a quoted value keeps its separators. A body that cannot be read
    // unambiguously (a quoted value that never closes) gives none.
    static std::optional<ToolArguments> shorthandArgs(std::string_view body, std::string_view tool);

    // The key a single quoted value is given ("input" for unlisted tools).
    static std::string primaryArgKey(std::string_view tool);

private:
    const BracketMatcher& matcher(char open);

    const GraphemeText& text_;
    std::optional<BracketMatcher> parens_;
    std::optional<BracketMatcher> braces_;
};

} // namespace vivirov
