#pragma once
// Turning a downloaded page into text for the model.
#include <string>
#include <string_view>

namespace vivirov::webtext {

// The charset parameter of a Content-Type value ("" when none), unquoted.
std::string charsetOf(std::string_view contentType);

// The body as UTF-8: in the named charset when it is known and the bytes
// decode in it, else as UTF-8 with invalid sequences replaced by U+FFFD.
std::string decodeBody(std::string_view bytes, std::string_view contentType);

// The readable text of an HTML page: scripts, styles, inline images and the
// head dropped, block ends as line breaks, every other tag as a blank, the
// common character references decoded once, blank runs and blank lines
// collapsed. Linear in the length of the page, also for unclosed elements.
std::string htmlToText(std::string_view html);

} // namespace vivirov::webtext
