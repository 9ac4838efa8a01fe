#include "VivirovKit/Agentic/ToolCallInterceptor.h"

#include <algorithm>
#include <cstdio>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#include "VivirovKit/Agentic/ShorthandToolCallParser.h"
#include "VivirovKit/Support/Regex.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr size_t heldCharacters = 12;
constexpr std::string_view envelopeTag = "<tool_call>";
constexpr std::string_view closingTag = "</tool_call>";

// A tool name counts only where it begins a word: "unread_file{…}" is prose,
// not a call of read_file.
constexpr std::string_view wordStart = R"((?<![\p{L}\p{M}\p{Nd}_]))";

const Regex& shorthandPattern() {
    static const Regex pattern = [] {
        std::string names;
        for (std::string_view name : ToolCallInterceptor::knownTools) {
            if (!names.empty()) names += '|';
            names += name;
        }
        return Regex(std::string(wordStart) + "(" + names + R"()\s*\{([^{}]*)\})");
    }();
    return pattern;
}

const Regex& argumentPattern() {
    static const Regex pattern(R"re(([A-Za-z_][A-Za-z0-9_]*)\s*[:=]\s*("([^"]*)"|[^,]+))re");
    return pattern;
}

// The code point that ends just before byte `pos`, stepping `pos` back over it.
UChar32 previousCodePoint(std::string_view text, size_t& pos) {
    int32_t i = int32_t(pos);
    UChar32 c = 0;
    U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), 0, i, c);
    pos = size_t(i);
    return c;
}

bool isIdentifierCodePoint(UChar32 c) {
    if (c == '_') return true;
    if (c < 0) return false;
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_ND_MASK)) != 0;
}

// The regular expressions' \s: tab, line feed, form feed, carriage return
// and the Unicode separators.
bool isPatternSpace(UChar32 c) {
    if (c == '\t' || c == '\n' || c == '\f' || c == '\r') return true;
    return c >= 0 && (U_GET_GC_MASK(c) & U_GC_Z_MASK) != 0;
}

bool isWordStart(std::string_view text, size_t pos) {
    if (pos == 0) return true;
    return !isIdentifierCodePoint(previousCodePoint(text, pos));
}

size_t skipSpaceBackward(std::string_view text, size_t pos) {
    while (pos > 0) {
        size_t before = pos;
        if (!isPatternSpace(previousCodePoint(text, before))) break;
        pos = before;
    }
    return pos;
}

// Where a known tool name that ends at `end` and begins a word starts.
std::optional<size_t> nameEndingAt(std::string_view text, size_t end) {
    for (std::string_view name : ToolCallInterceptor::knownTools) {
        if (end < name.size()) continue;
        size_t start = end - name.size();
        if (text.substr(start, name.size()) == name && isWordStart(text, start)) return start;
    }
    return std::nullopt;
}

// Where the longest word-initial beginning of a known tool name that ends the
// text starts.
std::optional<size_t> namePrefixAtEnd(std::string_view text) {
    std::optional<size_t> earliest;
    for (std::string_view name : ToolCallInterceptor::knownTools) {
        for (size_t length = std::min(name.size() - 1, text.size()); length > 0; --length) {
            size_t start = text.size() - length;
            if (earliest && start >= *earliest) break;
            if (text.substr(start) == name.substr(0, length) && isWordStart(text, start)) {
                earliest = start;
                break;
            }
        }
    }
    return earliest;
}

std::string unquoted(std::string value) {
    if (value.size() > 1 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
    return value;
}

} // namespace

ToolCallInterceptor::Feed ToolCallInterceptor::feed(std::string_view piece) {
    pending += piece;

    // An envelope counts as complete at its object's "}", so when it streams
    // in, its closing tag comes after the call was cut out. That tag is still
    // part of the envelope and is dropped, not shown; until it is known
    // whether the tag follows, the text after the call stays held.
    if (awaitingClosingTag_) {
        size_t space = 0;
        while (space < pending.size()) {
            size_t next = space;
            UChar32 c = 0;
            U8_NEXT(reinterpret_cast<const uint8_t*>(pending.data()), next, pending.size(), c);
            if (c < 0 || !u_isUWhiteSpace(c)) break;
            space = next;
        }
        std::string_view rest = std::string_view(pending).substr(space);
        if (rest.substr(0, closingTag.size()) == closingTag) {
            pending.erase(0, space + closingTag.size());
            awaitingClosingTag_ = false;
        } else if (rest.size() < closingTag.size() && closingTag.substr(0, rest.size()) == rest) {
            return {};
        } else {
            awaitingClosingTag_ = false;
        }
    }

    // Both forms need a literal that is cheap to look for first: the opening
    // tag, and the closing brace.
    std::optional<InferenceTransactionManager::ToolInvocation> envelope;
    if (pending.find(envelopeTag) != std::string::npos) envelope = InferenceTransactionManager::detectToolCall(pending);
    if (envelope) {
        // The suffix is the tail of the pending text: a "}" right before it
        // means the envelope ended without its closing tag.
        size_t end = pending.size() - envelope->suffix.size();
        awaitingClosingTag_ = end > 0 && pending[end - 1] == '}';
        pending = std::move(envelope->suffix);
        return {std::move(envelope->prefix), std::move(envelope->inner)};
    }

    // A character split across pieces stays out of the search and after the call.
    size_t whole = text::completeUTF8PrefixLength(pending);
    std::optional<ShorthandCall> call;
    if (pending.find('}') != std::string::npos)
        call = detectShorthandToolCall(std::string_view(pending).substr(0, whole));
    if (call) {
        pending = call->suffix + pending.substr(whole);
        return {std::move(call->prefix), std::move(call->inner)};
    }

    GraphemeText chars(pending);
    if (chars.size() <= heldCharacters) return {};
    size_t tail = chars.size() - heldCharacters;
    std::optional<size_t> lastAngle, lastBacktick;
    for (size_t k = tail; k < chars.size(); ++k) {
        char c = chars.ascii(k);
        if (c == '<') lastAngle = k;
        if (c == '`') lastBacktick = k;
    }
    size_t cut = chars.byteStart(lastAngle ? *lastAngle : lastBacktick ? *lastBacktick : tail);
    cut = std::min(cut, unfinishedCallStart(pending));

    Feed out{pending.substr(0, cut), std::nullopt};
    pending.erase(0, cut);
    return out;
}

std::string ToolCallInterceptor::flushAll() {
    std::string out = std::move(pending);
    pending.clear();
    awaitingClosingTag_ = false;
    return out;
}

size_t ToolCallInterceptor::unfinishedCallStart(std::string_view text) {
    // An envelope's opening tag without a complete envelope after it: the
    // rest may still arrive, so nothing from the tag on is shown yet.
    size_t start = std::min(text.size(), text.find(envelopeTag));

    // A shorthand whose opening brace has arrived and that has not closed.
    size_t brace = text.find_last_of("{}");
    if (brace != std::string_view::npos && text[brace] == '{') {
        if (auto name = nameEndingAt(text, skipSpaceBackward(text, brace))) start = std::min(start, *name);
    }

    // A tool name (and white space) ending the text, or the beginning of one.
    size_t end = skipSpaceBackward(text, text.size());
    if (auto name = nameEndingAt(text, end)) {
        start = std::min(start, *name);
    } else if (end == text.size()) {
        if (auto partial = namePrefixAtEnd(text)) start = std::min(start, *partial);
    }
    return start;
}

std::optional<ToolCallInterceptor::ShorthandCall> ToolCallInterceptor::detectShorthandToolCall(std::string_view text) {
    // The pattern works on code points; ill-formed bytes become U+FFFD first
    // so that the match offsets stay true to the text searched.
    std::string repaired;
    if (!text::isValidUTF8(text)) {
        repaired = text::decodeUTF8Lossy(text);
        text = repaired;
    }
    auto match = shorthandPattern().firstMatch(text);
    if (!match) return std::nullopt;
    std::string name = match->group(1);
    ShorthandCall call;
    call.prefix = std::string(text.substr(0, match->begin));
    call.suffix = std::string(text.substr(match->end));
    call.inner = "{\"tool\":" + jsonString(name) + ",\"args\":" + parseArgs(match->group(2), name) + "}";
    return call;
}

// The same keys as the shorthand of finished answers.
std::string ToolCallInterceptor::primaryArgKey(std::string_view tool) { return ShorthandToolCallParser::primaryArgKey(tool); }

std::string ToolCallInterceptor::parseArgs(std::string_view args, std::string_view tool) {
    std::string body = text::trimmed(args);
    std::string pairs;
    for (const Regex::Match& match : argumentPattern().allMatches(body)) {
        if (!pairs.empty()) pairs += ',';
        pairs += jsonString(match.group(1)) + ":" + jsonString(unquoted(text::trimmed(match.group(2))));
    }
    if (pairs.empty()) pairs = jsonString(primaryArgKey(tool)) + ":" + jsonString(unquoted(body));
    return "{" + pairs + "}";
}

std::string ToolCallInterceptor::jsonString(std::string_view text) {
    std::string repaired;
    if (!text::isValidUTF8(text)) {
        repaired = text::decodeUTF8Lossy(text);
        text = repaired;
    }
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                out += escaped;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
    return out;
}

} // namespace vivirov
