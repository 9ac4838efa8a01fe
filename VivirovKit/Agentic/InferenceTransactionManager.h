#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace vivirov {

// Drives one generation of an in-process model session, treating fenced code
// blocks as transactions and cutting tool-call envelopes out of the prose.
class InferenceTransactionManager {
public:
    // ---- Tool-call envelopes -------------------------------------------------

    // One envelope found in a text: the text before "<tool_call>", the JSON
    // object from its "{" to its "}" inclusive, and the text after the
    // envelope (after "</tool_call>" when it follows, else after the "}").
    struct ToolInvocation {
        std::string prefix;
        std::string inner;
        std::string suffix;
        bool operator==(const ToolInvocation&) const = default;
    };

    // The first complete envelope in `in`, or none. Positions count
    // user-perceived characters; a later envelope is found by running this
    // again on the suffix.
    static std::optional<ToolInvocation> detectToolCall(std::string_view in);
};

} // namespace vivirov
