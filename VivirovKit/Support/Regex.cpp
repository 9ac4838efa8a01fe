#include "VivirovKit/Support/Regex.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

namespace vivirov {

namespace {

icu::UnicodeString fromUTF8(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), int32_t(s.size())));
}

// Maps UTF-16 offsets of a converted text back to UTF-8 byte offsets.
struct OffsetMap {
    std::vector<uint32_t> toByte;
    explicit OffsetMap(const icu::UnicodeString& u) {
        toByte.resize(size_t(u.length()) + 1);
        uint32_t bytes = 0;
        for (int32_t i = 0; i < u.length();) {
            UChar32 c = u.char32At(i);
            int32_t units = U16_LENGTH(c);
            for (int32_t k = 0; k < units; ++k) toByte[size_t(i + k)] = bytes;
            bytes += uint32_t(U8_LENGTH(c));
            i += units;
        }
        toByte[size_t(u.length())] = bytes;
    }
    size_t operator()(int32_t i) const { return toByte[size_t(i)]; }
};

} // namespace

Regex::Regex(std::string_view pattern, uint32_t flags) {
    uint32_t icuFlags = 0;
    if (flags & CaseInsensitive) icuFlags |= UREGEX_CASE_INSENSITIVE;
    if (flags & DotAll) icuFlags |= UREGEX_DOTALL;
    if (flags & Multiline) icuFlags |= UREGEX_MULTILINE;
    UParseError parseError{};
    UErrorCode status = U_ZERO_ERROR;
    pattern_.reset(icu::RegexPattern::compile(fromUTF8(pattern), icuFlags, parseError, status));
    if (U_FAILURE(status)) {
        pattern_.reset();
        error_ = u_errorName(status);
    }
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::vector<Regex::Match> Regex::allMatches(std::string_view text) const {
    std::vector<Match> out;
    if (!pattern_) return out;
    icu::UnicodeString u = fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(u, status));
    if (U_FAILURE(status)) return out;
    OffsetMap map(u);
    while (matcher->find(status) && U_SUCCESS(status)) {
        Match m;
        int32_t groups = matcher->groupCount();
        for (int32_t g = 0; g <= groups; ++g) {
            int32_t s = matcher->start(g, status), e = matcher->end(g, status);
            if (U_FAILURE(status) || s < 0) {
                status = U_ZERO_ERROR;
                m.groups.emplace_back(std::nullopt);
                continue;
            }
            Group group{map(s), map(e), {}};
            matcher->group(g, status).toUTF8String(group.text);
            m.groups.emplace_back(std::move(group));
        }
        m.begin = m.groups[0]->begin;
        m.end = m.groups[0]->end;
        out.push_back(std::move(m));
    }
    return out;
}

std::optional<Regex::Match> Regex::firstMatch(std::string_view text, size_t fromByte) const {
    if (!pattern_ || fromByte > text.size()) return std::nullopt;
    // Search the tail, then shift offsets back; lookbehind across fromByte is not needed by callers.
    icu::UnicodeString u = fromUTF8(text.substr(fromByte));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(u, status));
    if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;
    OffsetMap map(u);
    Match m;
    for (int32_t g = 0; g <= matcher->groupCount(); ++g) {
        int32_t s = matcher->start(g, status), e = matcher->end(g, status);
        if (U_FAILURE(status) || s < 0) {
            status = U_ZERO_ERROR;
            m.groups.emplace_back(std::nullopt);
            continue;
        }
        Group group{map(s) + fromByte, map(e) + fromByte, {}};
        matcher->group(g, status).toUTF8String(group.text);
        m.groups.emplace_back(std::move(group));
    }
    m.begin = m.groups[0]->begin;
    m.end = m.groups[0]->end;
    return m;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
    if (!pattern_) return std::string(text);
    icu::UnicodeString u = fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(u, status));
    if (U_FAILURE(status)) return std::string(text);
    icu::UnicodeString result = matcher->replaceAll(fromUTF8(replacement), status);
    if (U_FAILURE(status)) return std::string(text);
    std::string out;
    result.toUTF8String(out);
    return out;
}

} // namespace vivirov
