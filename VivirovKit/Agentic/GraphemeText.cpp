#include "VivirovKit/Agentic/GraphemeText.h"

#include <algorithm>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace vivirov {

namespace {

bool isASCII(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

UChar32 firstCodePoint(std::string_view bytes) {
    int32_t i = 0;
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const uint8_t*>(bytes.data()), i, int32_t(bytes.size()), c);
    return c;
}

} // namespace

GraphemeText::GraphemeText(std::string_view text) : text_(text) {
    starts_.reserve(text.size() + 1);
    if (isASCII(text)) {
        // In ASCII every byte is a character, except that CR LF is one.
        for (size_t i = 0; i < text.size(); ++i) {
            if (i > 0 && text[i] == '\n' && text[i - 1] == '\r') continue;
            starts_.push_back(uint32_t(i));
        }
    } else {
        thread_local std::unique_ptr<icu::BreakIterator> iterator;
        if (!iterator) {
            UErrorCode status = U_ZERO_ERROR;
            iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            if (U_FAILURE(status)) iterator.reset();
        }
        UErrorCode status = U_ZERO_ERROR;
        UText* ut = utext_openUTF8(nullptr, text.data(), int64_t(text.size()), &status);
        if (iterator && U_SUCCESS(status)) {
            iterator->setText(ut, status);
            starts_.push_back(0);
            for (int32_t b = iterator->next(); b != icu::BreakIterator::DONE && size_t(b) < text.size();
                 b = iterator->next())
                starts_.push_back(uint32_t(b));
            UErrorCode reset = U_ZERO_ERROR;
            UText* empty = utext_openUTF8(nullptr, "", 0, &reset);
            iterator->setText(empty, reset); // let go of `ut` before it closes
            utext_close(empty);
        } else {
            for (size_t i = 0; i < text.size(); ++i) starts_.push_back(uint32_t(i));
        }
        utext_close(ut);
    }
    starts_.push_back(uint32_t(text.size()));
}

bool GraphemeText::isLineFeed(size_t k) const {
    std::string_view c = slice(k, k + 1);
    return c == "\n" || c == "\r\n";
}

bool GraphemeText::isWhitespace(size_t k) const {
    return u_isUWhiteSpace(firstCodePoint(slice(k, k + 1)));
}

bool GraphemeText::isIdentifierCharacter(size_t k) const {
    UChar32 c = firstCodePoint(slice(k, k + 1));
    return c == '_' || u_isalnum(c);
}

size_t GraphemeText::characterAtOrAfter(size_t byteOffset) const {
    auto it = std::lower_bound(starts_.begin(), starts_.end() - 1, uint32_t(byteOffset));
    return size_t(it - starts_.begin());
}

bool GraphemeText::isBoundary(size_t byteOffset) const {
    return std::binary_search(starts_.begin(), starts_.end(), uint32_t(byteOffset));
}

} // namespace vivirov
