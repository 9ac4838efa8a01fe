#include "VivirovKit/Verification/TaskVerifierEngine.h"

#include "VivirovKit/Support/Text.h"

namespace vivirov {

std::string TaskVerifierEngine::summarizeOldFailures(const std::vector<std::string>& blocks) {
    static constexpr std::string_view open = "<exit_code>";
    static constexpr std::string_view close = "</exit_code>";
    std::string codes;
    bool first = true;
    for (const std::string& block : blocks) {
        const size_t start = block.find(open);
        if (start == std::string::npos) continue;
        const size_t from = start + open.size();
        const size_t stop = block.find(close, from);
        if (stop == std::string::npos) continue;
        if (!first) codes += ",";
        codes += text::trimmed(std::string_view(block).substr(from, stop - from));
        first = false;
    }
    return "<prior_failures summary=\"attempts 1-" + std::to_string(blocks.size()) +
           " failed (exit codes: " + codes + "); raw traces truncated to fit context\"/>";
}

} // namespace vivirov
