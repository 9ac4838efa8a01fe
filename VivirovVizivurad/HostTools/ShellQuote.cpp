#include "VivirovVizivurad/HostTools/ShellQuote.h"

namespace vivirov {

std::string shellQuoted(std::string_view text) {
    std::string word = "'";
    for (char c : text) {
        if (c == '\'') word += "'\\''";
        else word += c;
    }
    word += '\'';
    return word;
}

} // namespace vivirov
