#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// Text helpers over UTF-8 strings. "Characters" here are user-perceived
// characters (extended grapheme clusters, ICU's character break iterator).
namespace vivirov::text {

size_t graphemeCount(std::string_view utf8);
// The first / last `n` characters (the whole text when it is shorter).
std::string graphemePrefix(std::string_view utf8, size_t n);
std::string graphemeSuffix(std::string_view utf8, size_t n);
// Characters [start, start+length) (clamped to the text).
std::string graphemeSlice(std::string_view utf8, size_t start, size_t length);
// Byte offset of the boundary after `n` characters (text size when shorter).
size_t graphemeByteOffset(std::string_view utf8, size_t n);
// Number of characters in the first `byteOffset` bytes (offset must be a boundary).
size_t graphemeIndexOfByte(std::string_view utf8, size_t byteOffset);

// Decodes bytes as UTF-8, replacing each maximal subpart of an ill-formed
// sequence with U+FFFD; the result is valid UTF-8.
std::string decodeUTF8Lossy(std::string_view bytes);
bool isValidUTF8(std::string_view bytes);
// Length of the longest prefix that ends on a complete UTF-8 sequence.
size_t completeUTF8PrefixLength(std::string_view bytes);

// ISO Latin-1 bytes to UTF-8.
std::string decodeLatin1(std::string_view bytes);

std::string lowercased(std::string_view utf8);   // Unicode lower case, root locale
std::string uppercased(std::string_view utf8);
// Unicode case folding (full folding), for case-insensitive comparisons.
std::string caseFolded(std::string_view utf8);
// Case-insensitive containment after Unicode case folding.
bool containsCaseInsensitive(std::string_view haystack, std::string_view needle);

// Strips white space and line breaks (Unicode White_Space) at both ends.
std::string trimmed(std::string_view utf8);

bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);

} // namespace vivirov::text
