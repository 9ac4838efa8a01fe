#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vivirov {

// A UTF-8 text seen as user-perceived characters (extended grapheme
// clusters), for parsers that must count characters and must not mistake a
// brace or quote that carries a combining mark for the plain one. Holds a view:
// the text must outlive it. Ill-formed bytes are characters of their own.
class GraphemeText {
public:
    explicit GraphemeText(std::string_view text);

    size_t size() const { return starts_.size() - 1; } // characters
    std::string_view bytes() const { return text_; }
    // Byte offset where character k begins; byteStart(size()) is the text size.
    size_t byteStart(size_t k) const { return starts_[k]; }
    // Characters [from, to) as bytes.
    std::string_view slice(size_t from, size_t to) const {
        return text_.substr(starts_[from], starts_[to] - starts_[from]);
    }
    // The ASCII character when character k is that one byte alone, else 0.
    char ascii(size_t k) const {
        if (starts_[k + 1] - starts_[k] != 1) return 0;
        unsigned char c = static_cast<unsigned char>(text_[starts_[k]]);
        return c < 0x80 ? char(c) : 0;
    }
    // A line break character: a line feed alone or a CR LF pair.
    bool isLineFeed(size_t k) const;
    // Character k starts with a Unicode white-space code point.
    bool isWhitespace(size_t k) const;
    // Character k starts with a letter, a digit or "_".
    bool isIdentifierCharacter(size_t k) const;
    // Index of the first character that begins at or after `byteOffset`.
    size_t characterAtOrAfter(size_t byteOffset) const;
    // Whether a character begins exactly at `byteOffset` (the text end counts).
    bool isBoundary(size_t byteOffset) const;

private:
    std::string_view text_;
    std::vector<uint32_t> starts_; // one per character plus the end
};

} // namespace vivirov
