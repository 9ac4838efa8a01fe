#pragma once
#include <string>

#include "VivirovKit/Support/Json.h"

namespace vivirov {

// Writes JSON with every object's keys in lexicographic order, compact or
// indented by two blanks per level with " : " between key and value. A
// forward slash in a text is written as "\/"; control characters are escaped.
// Texts are expected to be valid UTF-8.
std::string writeSortedJSON(const json::Value& value, bool pretty);

} // namespace vivirov
