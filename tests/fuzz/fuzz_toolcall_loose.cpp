// The loose JSON and shorthand readers must take any bytes, accept only known
// names, and find the same brace regions as scanning afresh from every "{".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/LooseToolCallParser.h"
#include "VivirovKit/Agentic/ShorthandToolCallParser.h"

namespace {

using namespace vivirov;

std::vector<std::string> directRegions(std::string_view in) {
    GraphemeText text(in);
    std::vector<std::string> out;
    for (size_t k = 0; k < text.size();) {
        if (text.ascii(k) != '{') {
            ++k;
            continue;
        }
        int depth = 0;
        bool inString = false, escaped = false;
        size_t close = text.size();
        for (size_t j = k; j < text.size() && close == text.size(); ++j) {
            char c = text.ascii(j);
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = !inString;
            else if (inString) continue;
            else if (c == '{') ++depth;
            else if (c == '}' && depth-- == 1) close = j;
        }
        if (close == text.size()) {
            ++k;
            continue;
        }
        out.emplace_back(text.slice(k, close + 1));
        k = close + 1;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);

    static const std::set<std::string> known = {"execute_bash", "lookup", "read_file", "search", "web_search"};
    for (const auto& call : LooseToolCallParser::parseLooseToolCalls(in, known))
        if (!known.count(call.name) || (call.arguments.empty() && call.id.rfind("short-", 0) == 0)) __builtin_trap();

    (void)ShorthandToolCallParser::shorthandArgs(in, "read_file");

    // The direct scan is quadratic: compare on small inputs only.
    if (size <= 4096 && LooseToolCallParser::balancedBraceRegions(in) != directRegions(in)) __builtin_trap();
    return 0;
}
