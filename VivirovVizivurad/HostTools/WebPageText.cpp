#include "VivirovVizivurad/HostTools/WebPageText.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <array>
#include <cctype>
#include <memory>
#include <optional>
#include <vector>

#include "VivirovKit/Support/Text.h"

namespace vivirov::webtext {

namespace {

bool startsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
    if (text.size() - at < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != prefix[i]) return false;
    return true;
}

// Strict decoding in an ICU charset; none when the name is unknown or a byte
// sequence is invalid in it.
std::optional<std::string> decodeStrict(std::string_view bytes, const std::string& charset) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UConverter, void (*)(UConverter*)> converter(ucnv_open(charset.c_str(), &status), ucnv_close);
    if (U_FAILURE(status) || !converter) return std::nullopt;
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status)) return std::nullopt;
    std::vector<UChar> utf16(bytes.size() * 2 + 16);
    int32_t length = ucnv_toUChars(converter.get(), utf16.data(), int32_t(utf16.size()), bytes.data(),
                                   int32_t(bytes.size()), &status);
    if (U_FAILURE(status)) return std::nullopt;
    std::string utf8(size_t(length) * 3 + 4, '\0');
    int32_t written = 0;
    u_strToUTF8(utf8.data(), int32_t(utf8.size()), &written, utf16.data(), length, &status);
    if (U_FAILURE(status)) return std::nullopt;
    utf8.resize(size_t(written));
    return utf8;
}

// Drops every `<name ...>…</name>` element (case as written, shortest body).
// Once an opening finds no closing, no later opening can, so the scan ends:
// unclosed openings cost one pass, not one pass each.
std::string dropElements(std::string_view text, std::string_view name) {
    const std::string open = "<" + std::string(name);
    const std::string close = "</" + std::string(name) + ">";
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        size_t start = text.find(open, pos);
        if (start == std::string_view::npos) break;
        size_t gt = text.find('>', start + open.size());
        size_t end = gt == std::string_view::npos ? gt : text.find(close, gt + 1);
        if (end == std::string_view::npos) break;
        out.append(text.substr(pos, start - pos));
        out += ' ';
        pos = end + close.size();
    }
    out.append(text.substr(pos));
    return out;
}

// Replaces every tag that `pick` accepts by what it answers. A tag runs from
// a '<' to the first '>' after it; once no '>' is left, no tag can follow.
template <typename Pick>
std::string replaceTags(std::string_view text, Pick pick) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    size_t gt = 0; // the first '>' after the last '<' looked at, kept while ahead
    for (;;) {
        size_t lt = text.find('<', i);
        if (lt == std::string_view::npos) break;
        if (gt <= lt) gt = text.find('>', lt + 1);
        if (gt == std::string_view::npos) break;
        out.append(text.substr(i, lt - i));
        if (const char* replacement = pick(text.substr(lt + 1, gt - lt - 1))) {
            out += replacement;
            i = gt + 1;
        } else {
            out += '<';
            i = lt + 1;
        }
    }
    out.append(text.substr(i));
    return out;
}

// Line breaks and block ends (any letter case) become line feeds.
std::string replaceBreaks(std::string_view text) {
    static constexpr std::array<std::string_view, 13> breaks = {
        "br", "/p", "/div", "/li", "/h1", "/h2", "/h3", "/h4", "/h5", "/h6", "/tr", "/section", "/article"};
    return replaceTags(text, [](std::string_view inside) -> const char* {
        for (std::string_view b : breaks)
            if (startsWithNoCase(inside, 0, b)) return "\n";
        return nullptr;
    });
}

// Every other tag becomes a blank ("<>" is no tag).
std::string replaceOtherTags(std::string_view text) {
    return replaceTags(text, [](std::string_view inside) -> const char* { return inside.empty() ? nullptr : " "; });
}

// The nine common references, each decoded once in a single left-to-right
// pass, so "&amp;lt;" reads "&lt;" as its author wrote it.
std::string decodeReferences(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 9> refs = {{
        {"&amp;", "&"},
        {"&lt;", "<"},
        {"&gt;", ">"},
        {"&quot;", "\""},
        {"&#39;", "'"},
        {"&apos;", "'"},
        {"&nbsp;", " "},
        {"&mdash;", "\xE2\x80\x94"},
        {"&ndash;", "\xE2\x80\x93"},
    }};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        size_t amp = text.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(text.substr(i));
            break;
        }
        out.append(text.substr(i, amp - i));
        bool matched = false;
        for (const auto& [ref, value] : refs)
            if (text.substr(amp, ref.size()) == ref) {
                out.append(value);
                i = amp + ref.size();
                matched = true;
                break;
            }
        if (!matched) {
            out += '&';
            i = amp + 1;
        }
    }
    return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string collapseBlanks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (isBlank(text[i])) {
            out += ' ';
            while (i < text.size() && isBlank(text[i])) ++i;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Three or more line feeds, blanks between the first three allowed, become two.
std::string collapseBlankLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\n') {
            size_t j = i + 1;
            while (j < text.size() && isBlank(text[j])) ++j;
            if (j < text.size() && text[j] == '\n') {
                size_t k = j + 1;
                while (k < text.size() && isBlank(text[k])) ++k;
                if (k < text.size() && text[k] == '\n') {
                    while (k < text.size() && text[k] == '\n') ++k;
                    out += "\n\n";
                    i = k;
                    continue;
                }
            }
        }
        out += text[i++];
    }
    return out;
}

} // namespace

std::string charsetOf(std::string_view contentType) {
    std::string lower = text::lowercased(contentType);
    size_t at = lower.find("charset=");
    if (at == std::string::npos) return "";
    std::string value(contentType.substr(at + 8));
    value = value.substr(0, value.find(';'));
    value = text::trimmed(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
}

std::string decodeBody(std::string_view bytes, std::string_view contentType) {
    const std::string charset = charsetOf(contentType);
    if (!charset.empty())
        if (auto decoded = decodeStrict(bytes, charset)) return *decoded;
    if (text::isValidUTF8(bytes)) return std::string(bytes);
    return text::decodeUTF8Lossy(bytes);
}

std::string htmlToText(std::string_view html) {
    std::string text(html);
    for (std::string_view name : {"script", "style", "noscript", "svg", "head"}) text = dropElements(text, name);
    text = replaceBreaks(text);
    text = replaceOtherTags(text);
    text = decodeReferences(text);
    text = collapseBlanks(text);
    text = collapseBlankLines(text);
    return text::trimmed(text);
}

} // namespace vivirov::webtext
