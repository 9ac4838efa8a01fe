#pragma once
#include <map>
#include <string>
#include <string_view>

#include "VivirovKit/Support/Json.h"

// Tool-call arguments travel as a flat map of text. These turn JSON into
// that map by the one rule every caller shares.
namespace vivirov {

using ToolArguments = std::map<std::string, std::string>;

// Text form of one JSON value: a string as itself, a whole number in decimal,
// true/false as "1"/"0", null as "<null>", another number in its shortest
// decimal form, an array or object as indented (multi-line) JSON.
std::string flattenArgumentValue(const json::Value& value);

// Every member of a JSON object as one entry; an empty map for a non-object.
ToolArguments flattenArguments(const json::Value& object);

// The arguments of a call object: its member "args" when that is an object,
// else "arguments" when that is an object, else none.
ToolArguments callArguments(const json::Value& callObject);

// Parses `text` as JSON and flattens it; empty, invalid or non-object text
// gives an empty map.
ToolArguments flattenArgumentsJSON(std::string_view text);

} // namespace vivirov
