#include "VivirovKit/Agentic/ToolCallPreview.h"

#include <array>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {
std::string onOneLine(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\n' || c == '\t') c = ' ';
    return out;
}
} // namespace

std::string ToolCallPreview::activityPreview(std::string_view text, int limit) {
    if (limit <= 0) return "";
    size_t n = size_t(limit);
    // Only the first limit + 1 characters matter: this stays cheap on huge outputs.
    if (text::graphemeByteOffset(text, n) == text.size()) return onOneLine(text);
    std::string head = onOneLine(text::graphemePrefix(text, n));
    return text::graphemePrefix(head, n - 1) + "\u2026";
}

std::string ToolCallPreview::argsPreview(const ProviderToolCall& call) {
    static constexpr std::array<const char*, 6> telling = {"command", "path", "query", "url", "content", "input"};
    std::string line;
    for (const char* key : telling) {
        auto it = call.arguments.find(key);
        if (it != call.arguments.end() && !it->second.empty()) {
            line = std::string(key) + ": " + it->second;
            break;
        }
    }
    if (line.empty()) {
        if (call.arguments.empty()) {
            line = "(no arguments)";
        } else {
            for (const auto& [key, value] : call.arguments) { // std::map: sorted by key
                if (!line.empty()) line += ", ";
                line += key + ": " + value;
            }
        }
    }
    return activityPreview(line, 240);
}

} // namespace vivirov
