#pragma once
#include <cstddef>
#include <optional>

#include "VivirovKit/Agentic/GraphemeText.h"

namespace vivirov {

// Where the first <tool_call> envelope at or after a character lies, as byte
// offsets into the text: the opening tag, the balanced JSON object (inclusive
// of its braces) and the start of what follows the envelope.
struct ToolCallEnvelope {
    size_t tagStart = 0;
    size_t innerStart = 0;
    size_t innerEnd = 0;    // one past the object's closing "}"
    size_t suffixStart = 0;
    size_t suffixCharacter = 0; // the same position as a character index

    // Searches from character `from`. The tag is matched case-sensitively;
    // anything between it and the first "{" is skipped. Inside the object only
    // braces count, outside strings, and a backslash escapes only inside a
    // string. A closing "</tool_call>" (after optional white space) is part of
    // the envelope; without it the suffix starts right after the "}".
    static std::optional<ToolCallEnvelope> find(const GraphemeText& text, size_t from = 0);
};

} // namespace vivirov
