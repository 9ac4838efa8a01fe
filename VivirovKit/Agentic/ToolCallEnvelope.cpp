#include "VivirovKit/Agentic/ToolCallEnvelope.h"

#include <string_view>

namespace vivirov {

namespace {
constexpr std::string_view openTag = "<tool_call>";
constexpr std::string_view closeTag = "</tool_call>";

bool closeTagAt(const GraphemeText& text, size_t k) {
    if (text.size() - k < closeTag.size()) return false;
    for (size_t i = 0; i < closeTag.size(); ++i)
        if (text.ascii(k + i) != closeTag[i]) return false;
    return true;
}
} // namespace

std::optional<ToolCallEnvelope> ToolCallEnvelope::find(const GraphemeText& text, size_t from) {
    std::string_view bytes = text.bytes();
    size_t tag = bytes.find(openTag, text.byteStart(from));
    if (tag == std::string_view::npos) return std::nullopt;

    size_t k = text.characterAtOrAfter(tag + openTag.size());
    while (k < text.size() && text.ascii(k) != '{') ++k;
    if (k == text.size()) return std::nullopt;
    const size_t open = k;

    int64_t depth = 0;
    bool inString = false, escaped = false;
    size_t close = text.size();
    for (; k < text.size(); ++k) {
        char c = text.ascii(k);
        if (escaped) {
            escaped = false;
        } else if (inString) {
            if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth == 1) {
                close = k;
                break;
            }
            --depth;
        }
    }
    if (close == text.size()) return std::nullopt;

    size_t after = close + 1;
    size_t m = after;
    while (m < text.size() && text.isWhitespace(m)) ++m;
    size_t suffix = closeTagAt(text, m) ? m + closeTag.size() : after;

    ToolCallEnvelope envelope;
    envelope.tagStart = tag;
    envelope.innerStart = text.byteStart(open);
    envelope.innerEnd = text.byteStart(close + 1);
    envelope.suffixStart = text.byteStart(suffix);
    envelope.suffixCharacter = suffix;
    return envelope;
}

} // namespace vivirov
