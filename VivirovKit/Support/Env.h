#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Readers for the VIVIROV_* environment switches.
namespace vivirov::env {

// The variable's text; none when unset.
std::optional<std::string> string(const char* name);
// A default-off switch: on only when the value is exactly "1".
bool isOn(const char* name);
// A default-on switch: off only when the value is exactly "0".
bool isDefaultOnEnabled(const char* name);
// A decimal integer with an optional leading '+' or '-' and digits only;
// empty text, blanks, letters or an out-of-range value count as unset.
std::optional<int64_t> integer(const char* name);
std::optional<int64_t> parseInteger(std::string_view text);

} // namespace vivirov::env
