#pragma once
#include <string>
#include <string_view>

namespace vivirov {

// One single-quoted shell word holding `text` unchanged, whatever it holds:
// each apostrophe becomes '\'' inside the quotes.
std::string shellQuoted(std::string_view text);

} // namespace vivirov
