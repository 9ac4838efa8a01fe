#pragma once
// Joins raw byte pieces (one per generated token) into text without ever
// splitting a character: each call returns the complete characters received
// so far and keeps the start of an unfinished one for the next call.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vivirov {

class UTF8StreamAssembler {
public:
    bool isEmpty() const { return carry_.empty(); }
    const std::vector<uint8_t>& carry() const { return carry_; }

    // Invalid bytes are released at once as U+FFFD; only a trailing sequence
    // still too short for its lead byte is held back (at most 3 bytes).
    std::string consume(const uint8_t* bytes, std::ptrdiff_t count);
    std::string consume(const std::vector<uint8_t>& bytes);
    // Everything left, decoded with replacement; the carry is emptied.
    std::string flush();

    // Bytes up to the start of a trailing unfinished sequence (or all).
    static size_t completePrefixLength(const uint8_t* bytes, size_t length);

private:
    std::vector<uint8_t> carry_;
};

} // namespace vivirov
