#include "VivirovKit/Providers/LineSplitter.h"

#include "VivirovKit/Support/Text.h"

namespace vivirov {

bool LineSplitter::isValid(std::string_view line) {
    // Most lines are ASCII: skip the full check when no byte has the high bit.
    for (unsigned char c : line)
        if (c & 0x80) return text::isValidUTF8(line);
    return true;
}

std::string LineSplitter::decodeLossy(std::string_view line) { return text::decodeUTF8Lossy(line); }

} // namespace vivirov
