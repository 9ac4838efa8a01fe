#include "VivirovKit/Support/Text.h"

#include <cstdint>
#include <cstring>
#include <memory>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

namespace vivirov::text {

namespace {

// Iterates grapheme boundaries directly over the UTF-8 bytes (no UTF-16 copy):
// calls `visit(byteOffset)` for each boundary after the start until it returns false.
template <class Visit>
void forEachBoundary(std::string_view utf8, Visit visit) {
    if (utf8.empty()) return;
    UErrorCode status = U_ZERO_ERROR;
    UText* ut = utext_openUTF8(nullptr, utf8.data(), int64_t(utf8.size()), &status);
    if (U_FAILURE(status)) return;
    thread_local std::unique_ptr<icu::BreakIterator> iterator;
    if (!iterator) {
        UErrorCode s = U_ZERO_ERROR;
        iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), s));
        if (U_FAILURE(s)) iterator.reset();
    }
    if (!iterator) {
        utext_close(ut);
        return;
    }
    iterator->setText(ut, status);
    if (U_SUCCESS(status)) {
        for (int32_t b = iterator->next(); b != icu::BreakIterator::DONE; b = iterator->next())
            if (!visit(size_t(b))) break;
    }
    // Detach the iterator from our UText before closing it.
    UErrorCode reset = U_ZERO_ERROR;
    UText* empty = utext_openUTF8(nullptr, "", 0, &reset);
    iterator->setText(empty, reset);
    utext_close(empty);
    utext_close(ut);
}

} // namespace

namespace {

// The leading bytes whose characters are plain ASCII ones (every byte its
// own character except CR LF), with the CR LF pairs among them. It stops
// before the last ASCII byte ahead of a non-ASCII one, which a combining mark
// may join, so the rest starts on a character boundary.
struct PlainASCII {
    size_t length = 0;
    size_t crlfPairs = 0;
};

PlainASCII plainASCIIPrefix(std::string_view s) {
    const char* p = s.data();
    size_t i = 0, pairs = 0;
    auto pairAt = [&](size_t k) { return k + 1 < s.size() && p[k + 1] == '\n'; };
#if defined(__SSE2__)
    // One pass, 64 bytes a step: high bits end the run, CR bytes are looked at.
    const __m128i cr = _mm_set1_epi8('\r');
    for (; i + 64 <= s.size(); i += 64) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
        __m128i crs = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(b, cr)),
                                   _mm_or_si128(_mm_cmpeq_epi8(c, cr), _mm_cmpeq_epi8(d, cr)));
        if (_mm_movemask_epi8(crs) != 0)
            for (size_t k = i; k < i + 64; ++k) pairs += p[k] == '\r' && pairAt(k);
    }
#endif
    for (; i < s.size() && static_cast<unsigned char>(p[i]) < 0x80; ++i) pairs += p[i] == '\r' && pairAt(i);
    if (i == s.size()) return {i, pairs};
    size_t q = i == 0 ? 0 : i - 1;
    if (q > 0 && p[q - 1] == '\r' && p[q] == '\n') {
        --q;
        --pairs;
    }
    return {q, pairs};
}

// Walks `n` characters into the plain-ASCII text `s`; returns the byte
// offset reached and lowers `n` by the characters walked.
size_t walkPlainASCII(std::string_view s, size_t& n) {
    size_t pos = 0;
    while (n > 0 && pos < s.size()) {
        // Only the bytes that could be walked are searched for a CR.
        const size_t window = std::min(n, s.size() - pos);
        const void* cr = std::memchr(s.data() + pos, '\r', window);
        if (!cr) {
            pos += window;
            n -= window;
            continue;
        }
        const size_t r = size_t(static_cast<const char*>(cr) - s.data());
        n -= r - pos;
        pos = r + ((r + 1 < s.size() && s[r + 1] == '\n') ? 2 : 1);
        --n;
    }
    return pos;
}

} // namespace

size_t graphemeCount(std::string_view utf8) {
    const PlainASCII plain = plainASCIIPrefix(utf8);
    size_t count = plain.length - plain.crlfPairs;
    forEachBoundary(utf8.substr(plain.length), [&](size_t) { ++count; return true; });
    return count;
}

size_t graphemeByteOffset(std::string_view utf8, size_t n) {
    if (n == 0) return 0;
    size_t offset = walkPlainASCII(utf8.substr(0, plainASCIIPrefix(utf8).length), n);
    if (n == 0) return offset;
    std::string_view rest = utf8.substr(offset);
    size_t seen = 0, restOffset = rest.size();
    forEachBoundary(rest, [&](size_t b) {
        if (++seen == n) { restOffset = b; return false; }
        return true;
    });
    return offset + restOffset;
}

size_t graphemeIndexOfByte(std::string_view utf8, size_t byteOffset) {
    if (byteOffset == 0) return 0;
    size_t count = 0;
    forEachBoundary(utf8, [&](size_t b) {
        if (b > byteOffset) return false;
        ++count;
        return b < byteOffset;
    });
    return count;
}

std::string graphemePrefix(std::string_view utf8, size_t n) {
    return std::string(utf8.substr(0, graphemeByteOffset(utf8, n)));
}

std::string graphemeSuffix(std::string_view utf8, size_t n) {
    size_t total = graphemeCount(utf8);
    if (n >= total) return std::string(utf8);
    return std::string(utf8.substr(graphemeByteOffset(utf8, total - n)));
}

std::string graphemeSlice(std::string_view utf8, size_t start, size_t length) {
    size_t from = graphemeByteOffset(utf8, start);
    std::string_view rest = utf8.substr(from);
    return std::string(rest.substr(0, graphemeByteOffset(rest, length)));
}

namespace {

// Length of the well-formed sequence at `i`, or 0; `maximalSubpart` gets the
// length of the longest prefix that could start a well-formed sequence (>= 1).
size_t sequenceAt(std::string_view s, size_t i, size_t& maximalSubpart) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    maximalSubpart = 1;
    if (c < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) need = 1;
    else if (c == 0xE0) { need = 2; lo = 0xA0; }
    else if (c >= 0xE1 && c <= 0xEC) need = 2;
    else if (c == 0xED) { need = 2; hi = 0x9F; }
    else if (c >= 0xEE && c <= 0xEF) need = 2;
    else if (c == 0xF0) { need = 3; lo = 0x90; }
    else if (c >= 0xF1 && c <= 0xF3) need = 3;
    else if (c == 0xF4) { need = 3; hi = 0x8F; }
    else return 0;
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return 0;
        unsigned char t = byte(i + k);
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (t < l || t > h) return 0;
        maximalSubpart = k + 1;
    }
    return need + 1;
}

} // namespace

std::string decodeUTF8Lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        size_t subpart = 1;
        size_t len = sequenceAt(bytes, i, subpart);
        if (len) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += subpart;
        }
    }
    return out;
}

bool isValidUTF8(std::string_view bytes) {
    size_t i = 0, subpart = 0;
    while (i < bytes.size()) {
        size_t len = sequenceAt(bytes, i, subpart);
        if (!len) return false;
        i += len;
    }
    return true;
}

size_t completeUTF8PrefixLength(std::string_view bytes) {
    // Only the last up to 3 bytes can be an unfinished sequence.
    size_t n = bytes.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned char c = static_cast<unsigned char>(bytes[n - back]);
        if ((c & 0xC0) == 0x80) continue; // continuation byte: look further back
        size_t want = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return want > back ? n - back : n;
    }
    return n;
}

std::string decodeLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out.push_back(char(c));
        } else {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

namespace {
std::string toUTF8(const icu::UnicodeString& s) {
    std::string out;
    s.toUTF8String(out);
    return out;
}
icu::UnicodeString fromUTF8(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), int32_t(s.size())));
}
} // namespace

std::string lowercased(std::string_view utf8) {
    return toUTF8(fromUTF8(utf8).toLower(icu::Locale::getRoot()));
}

std::string uppercased(std::string_view utf8) {
    return toUTF8(fromUTF8(utf8).toUpper(icu::Locale::getRoot()));
}

std::string caseFolded(std::string_view utf8) { return toUTF8(fromUTF8(utf8).foldCase()); }

bool containsCaseInsensitive(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    // Folded texts are valid UTF-8, so a byte match always starts on a character.
    return caseFolded(haystack).find(caseFolded(needle)) != std::string::npos;
}

std::string trimmed(std::string_view utf8) {
    auto u = fromUTF8(utf8);
    int32_t start = 0, end = u.length();
    while (start < end) {
        UChar32 c = u.char32At(start);
        if (!u_isUWhiteSpace(c)) break;
        start += U16_LENGTH(c);
    }
    while (end > start) {
        UChar32 c = u.char32At(end - 1);
        if (!u_isUWhiteSpace(c)) break;
        end -= U16_LENGTH(c);
    }
    return toUTF8(u.tempSubStringBetween(start, end));
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace vivirov::text
