#pragma once
#include <string_view>

namespace vivirov {

// Writes one line (a '\n' is added) to standard error in a single write(2),
// so lines from different threads never interleave.
void logLine(std::string_view line);

} // namespace vivirov
