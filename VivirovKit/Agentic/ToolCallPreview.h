#pragma once
#include <string>
#include <string_view>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// One-line previews for activity events. Lengths count user-perceived characters.
struct ToolCallPreview {
    // The text on one line (line feeds and tabs become blanks; a carriage
    // return stays). A text longer than `limit` characters becomes its first
    // limit - 1 characters and "…", exactly `limit` characters in all.
    static std::string activityPreview(std::string_view text, int limit);

    // The most telling argument ("command", "path", "query", "url", "content"
    // or "input", the first with a value) as "key: value"; otherwise every
    // argument by key, joined with ", "; "(no arguments)" for none. At most
    // 240 characters.
    static std::string argsPreview(const ProviderToolCall& call);
};

} // namespace vivirov
