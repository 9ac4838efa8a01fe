#include "VivirovKit/Agentic/ShorthandToolCallParser.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "VivirovKit/Support/Json.h"

namespace vivirov {

namespace {

// Without Unicode white space and line breaks at both ends. Looks only at the
// ends, so a huge body costs nothing here.
std::string_view trimmedBody(std::string_view body) {
    auto bytes = reinterpret_cast<const uint8_t*>(body.data());
    int32_t start = 0, end = int32_t(body.size());
    while (start < end) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, end, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        start = next;
    }
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = previous;
    }
    return body.substr(size_t(start), size_t(end - start));
}

bool isQuote(char c) { return c == '"' || c == '\''; }

bool isBreak(const GraphemeText& g, size_t k) { return g.ascii(k) == ',' || g.isLineFeed(k); }

bool isKeySeparator(const GraphemeText& g, size_t k) { return g.ascii(k) == '=' || g.ascii(k) == ':'; }

size_t skipBlanks(const GraphemeText& g, size_t k) {
    while (k < g.size() && (g.ascii(k) == ' ' || g.ascii(k) == '\t')) ++k;
    return k;
}

// The quote that ends a value opened by `quote` before character `from`: the
// first unescaped one followed (after blanks) by a piece break or the end. A
// quote followed by anything else belongs to the value ("it's").
std::optional<size_t> closingQuote(const GraphemeText& g, size_t from, char quote) {
    for (size_t m = from; m < g.size(); ++m) {
        char c = g.ascii(m);
        if (c == '\\') {
            ++m;
        } else if (c == quote) {
            size_t next = skipBlanks(g, m + 1);
            if (next == g.size() || isBreak(g, next)) return m;
        }
    }
    return std::nullopt;
}

std::string trimBlanksAndQuotes(std::string_view part) {
    auto strip = [](char c) { return c == ' ' || c == '"' || c == '\''; };
    while (!part.empty() && strip(part.front())) part.remove_prefix(1);
    while (!part.empty() && strip(part.back())) part.remove_suffix(1);
    return std::string(part);
}

// The whole body is one quoted value: its text without the quotes.
std::optional<std::string> singleQuotedValue(const GraphemeText& g) {
    size_t n = g.size();
    if (n < 2 || !isQuote(g.ascii(0)) || g.ascii(n - 1) != g.ascii(0)) return std::nullopt;
    auto close = closingQuote(g, 1, g.ascii(0));
    if (!close || *close != n - 1) return std::nullopt;
    return std::string(g.slice(1, n - 1));
}

// Pieces separated by "," or line breaks outside quoted values, each cut once
// at its first "=" or ":" into a key and a value.
std::optional<ToolArguments> keyValueArguments(const GraphemeText& g) {
    ToolArguments out;
    size_t n = g.size();
    size_t k = 0;
    while (k < n) {
        while (k < n && isKeySeparator(g, k)) ++k;
        size_t keyStart = k;
        while (k < n && !isKeySeparator(g, k) && !isBreak(g, k)) ++k;
        if (k == n || isBreak(g, k)) { // no separator: the piece says nothing
            ++k;
            continue;
        }
        std::string key = trimBlanksAndQuotes(g.slice(keyStart, k));
        size_t valueStart = k + 1;
        k = skipBlanks(g, valueStart);

        std::string value;
        if (k < n && isQuote(g.ascii(k))) {
            auto close = closingQuote(g, k + 1, g.ascii(k));
            if (!close) return std::nullopt; // where the value ends is anyone's guess
            value = std::string(g.slice(k + 1, *close));
            k = skipBlanks(g, *close + 1) + 1;
        } else {
            k = valueStart;
            while (k < n && !isBreak(g, k)) ++k;
            value = trimBlanksAndQuotes(g.slice(valueStart, k));
            ++k;
        }
        if (!key.empty() && !value.empty()) out[key] = std::move(value);
    }
    if (out.empty()) return std::nullopt;
    return out;
}

} // namespace

std::string ShorthandToolCallParser::primaryArgKey(std::string_view tool) {
    if (tool == "web_search") return "query";
    if (tool == "web_fetch" || tool == "browser_navigate") return "url";
    if (tool == "read_file" || tool == "write_file") return "path";
    if (tool == "execute_bash") return "command";
    return "input";
}

std::optional<ToolArguments> ShorthandToolCallParser::shorthandArgs(std::string_view body, std::string_view tool) {
    std::string_view trimmed = trimmedBody(body);
    if (trimmed.empty()) return std::nullopt;

    // JSON members, as an object or without their braces. Only a body that
    // begins with a quote can be members without braces.
    if (trimmed.front() == '{') {
        if (auto object = json::parse(trimmed); object && object->is_object()) return flattenArguments(*object);
    } else if (trimmed.front() == '"') {
        if (auto object = json::parse("{" + std::string(trimmed) + "}"); object && object->is_object())
            return flattenArguments(*object);
    }

    GraphemeText g(trimmed);
    if (auto value = singleQuotedValue(g)) return ToolArguments{{primaryArgKey(tool), *value}};

    bool hasSeparator = false;
    for (size_t k = 0; k < g.size() && !hasSeparator; ++k) hasSeparator = isKeySeparator(g, k);
    if (!hasSeparator) return std::nullopt;
    return keyValueArguments(g);
}

const BracketMatcher& ShorthandToolCallParser::matcher(char open) {
    auto& slot = open == '(' ? parens_ : braces_;
    if (!slot) slot.emplace(text_, open, open == '(' ? ')' : '}');
    return *slot;
}

std::optional<ProviderToolCall> ShorthandToolCallParser::shorthandCall(const std::string& name, std::string id) {
    if (name.empty()) return std::nullopt;
    std::string_view bytes = text_.bytes();
    // Bodies of nested occurrences overlap; bound the reading so that a text of
    // thousands of unclosed "name(" stays linear. Ordinary texts never reach it.
    const size_t budget = 2 * bytes.size() + 65536;
    size_t spent = 0;

    for (size_t pos = 0;;) {
        size_t hit = bytes.find(name, pos);
        if (hit == std::string_view::npos) return std::nullopt;
        size_t end = hit + name.size();
        if (end >= bytes.size()) return std::nullopt;
        pos = end;
        if (!text_.isBoundary(hit) || !text_.isBoundary(end)) continue;
        size_t first = text_.characterAtOrAfter(hit);
        // "search" must not be read inside "web_search" or "research".
        if (first > 0 && text_.isIdentifierCharacter(first - 1)) continue;

        size_t k = text_.characterAtOrAfter(end);
        while (k < text_.size() && text_.isWhitespace(k)) ++k;
        if (k == text_.size()) return std::nullopt;
        char open = text_.ascii(k);
        if (open != '(' && open != '{') continue;

        size_t close = matcher(open).closeOf(k);
        std::string_view body = text_.slice(k + 1, close == BracketMatcher::none ? text_.size() : close);
        spent += body.size();
        if (spent > budget) return std::nullopt;
        if (auto args = shorthandArgs(body, name); args && !args->empty())
            return ProviderToolCall{std::move(id), name, std::move(*args)};
    }
}

} // namespace vivirov
