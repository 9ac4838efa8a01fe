// The envelope detector and the text parser must take any bytes: no crash, no
// read past the end, and an invocation that really is a split of the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#include "VivirovKit/Agentic/ToolCallTextForms.h"
#include "VivirovKit/Support/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vivirov;
    std::string_view in(reinterpret_cast<const char*>(data), size);

    if (auto invocation = InferenceTransactionManager::detectToolCall(in)) {
        const auto& [prefix, inner, suffix] = *invocation;
        if (!text::startsWith(in, prefix) || !text::endsWith(in, suffix)) __builtin_trap();
        if (inner.empty() || inner.front() != '{' || inner.back() != '}') __builtin_trap();
        if (prefix.size() + 11 + inner.size() + suffix.size() > in.size()) __builtin_trap();
        if (in.find(inner, prefix.size()) == std::string_view::npos) __builtin_trap();
    }

    static const std::set<std::string> known = {"read_file", "search", "web_search", "x"};
    auto calls = ToolCallTextForms::parseTextToolCalls(in, known);
    bool envelopeCalls = !calls.empty() && text::startsWith(calls.front().id, "txt-");
    if (envelopeCalls && calls.size() > 8) __builtin_trap();
    for (const auto& call : calls)
        if (call.name.empty()) __builtin_trap();
    return 0;
}
