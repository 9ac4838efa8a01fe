// The streaming interceptor must take any bytes in any piece sizes: no crash,
// text without braces passes through unchanged and in order, and every
// shorthand call it rebuilds is a JSON object of string arguments.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "VivirovKit/Agentic/ToolCallInterceptor.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vivirov;
    if (size == 0) return 0;
    size_t pieceSize = 1 + data[0] % 16;
    std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);

    ToolCallInterceptor interceptor;
    std::string shown;
    bool anyCall = false;
    for (size_t i = 0; i < in.size(); i += pieceSize) {
        auto feed = interceptor.feed(in.substr(i, pieceSize));
        shown += feed.flush;
        if (feed.toolCall) {
            if (feed.toolCall->empty()) __builtin_trap();
            anyCall = true;
        }
    }
    shown += interceptor.flushAll();
    if (!interceptor.pending.empty()) __builtin_trap();
    if (in.find('{') == std::string_view::npos && (anyCall || shown != in)) __builtin_trap();

    if (auto call = ToolCallInterceptor::detectShorthandToolCall(in)) {
        auto parsed = json::parse(call->inner);
        if (!parsed || !parsed->is_object()) __builtin_trap();
        auto tool = json::stringMember(*parsed, "tool");
        if (!tool || std::find(ToolCallInterceptor::knownTools.begin(), ToolCallInterceptor::knownTools.end(),
                               *tool) == ToolCallInterceptor::knownTools.end())
            __builtin_trap();
        const json::Value* args = json::objectMember(*parsed, "args");
        if (!args || args->empty()) __builtin_trap();
        for (const auto& [key, value] : args->items())
            if (!value.is_string()) __builtin_trap();
        if (text::isValidUTF8(in) && !text::startsWith(in, call->prefix)) __builtin_trap();
    }
    return 0;
}
