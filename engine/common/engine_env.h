#pragma once
// The engine's reads and writes of its own environment, under one lock, so
// that a switch the engine sets while another engine thread reads one never
// meets a reallocating environment block. Engine code reads switches through
// these functions rather than getenv.
#include <optional>
#include <string>

namespace vm {

// The variable's value, or none when it is unset.
std::optional<std::string> env_value(const char* name);

// Set, and its first character is neither NUL nor '0'.
bool env_switch_on(const char* name);

// Set, and its first character is '1'.
bool env_starts_with_1(const char* name);

// setenv under the same lock; an existing value is kept unless overwrite.
void env_set(const char* name, const char* value, bool overwrite = true);

} // namespace vm
