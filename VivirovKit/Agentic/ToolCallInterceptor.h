#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vivirov {

// Sits between a raw stream of model text and whatever shows it: each piece
// is answered with the text that is safe to show now and, when one has just
// completed, a tool call cut out of the stream as a JSON object. Two written
// forms are recognised: the <tool_call> envelope, and a known tool name
// followed by arguments in braces (`read_file{"a.txt"}`). A short tail that
// could still begin a call is held back, and so is a call that has begun but
// not yet completed; everything else passes through unchanged and in order.
//
// A value: copies are independent. One stream, one interceptor, one thread at
// a time.
struct ToolCallInterceptor {
    struct Feed {
        std::string flush;                   // text to show now, in stream order
        std::optional<std::string> toolCall; // one complete call as a JSON object
        bool operator==(const Feed&) const = default;
    };

    struct ShorthandCall {
        std::string prefix;
        std::string suffix;
        std::string inner; // {"tool":"<name>","args":{...}} with string values
        bool operator==(const ShorthandCall&) const = default;
    };

    // Tool names the brace shorthand accepts.
    static constexpr std::array<std::string_view, 12> knownTools = {
        "web_search",  "web_fetch",    "browser_navigate", "browser_read",
        "read_file",   "write_file",   "execute_bash",     "generate_image",
        "create_task", "list_models",  "dispatch_derov_swarm", "git_clone_repo"};

    // Text received but not yet handed back.
    std::string pending;

    // Takes the next piece of the stream. At most one call is returned per
    // piece; a second one already complete is found on the next feed (an
    // empty piece will do).
    Feed feed(std::string_view piece);
    // Everything still held back, for the end of the stream.
    std::string flushAll();

    // The first brace-shorthand call in `text`: a known tool name that stands
    // as a word of its own, optional white space, and a brace pair holding no
    // other brace.
    static std::optional<ShorthandCall> detectShorthandToolCall(std::string_view text);
    // The key that unnamed shorthand arguments are given.
    static std::string primaryArgKey(std::string_view tool);

private:
    // The last call came from an envelope whose closing tag has not arrived.
    bool awaitingClosingTag_ = false;

    static std::string parseArgs(std::string_view args, std::string_view tool);
    static std::string jsonString(std::string_view text);
    // Byte offset where a call that has begun but not completed starts in
    // `text`, or the text size when there is none.
    static size_t unfinishedCallStart(std::string_view text);
};

} // namespace vivirov
