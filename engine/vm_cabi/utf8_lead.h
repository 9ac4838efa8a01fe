#pragma once
// Reading one UTF-8 character by its lead byte. Continuation bytes are not
// validated: their low six bits are used as they are.
#include <cstddef>
#include <cstdint>

namespace vm {

struct Utf8Lead {
    size_t len;    // 1 to 4
    uint32_t bits; // payload bits of the lead
    bool proper;   // false for a stray continuation byte or 0xF8-0xFF, read as a four-byte lead
};

inline Utf8Lead utf8_lead(uint8_t lead) {
    if (lead < 0x80) return {1, lead, true};
    if ((lead & 0xE0) == 0xC0) return {2, lead & 0x1Fu, true};
    if ((lead & 0xF0) == 0xE0) return {3, lead & 0x0Fu, true};
    return {4, lead & 0x07u, (lead & 0xF8) == 0xF0};
}

// The code point of the character at p whose lead is `l`, with only `have`
// bytes present (missing continuation bytes read as zero bits).
inline uint32_t utf8_code(const uint8_t* p, const Utf8Lead& l, size_t have) {
    uint32_t c = l.bits;
    for (size_t k = 1; k < l.len; ++k) c = (c << 6) | (k < have ? (p[k] & 0x3Fu) : 0u);
    return c;
}

} // namespace vm
