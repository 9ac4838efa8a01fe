#pragma once
// The engine's environment switches, read and written under one process-wide
// lock: the engine sets some of its own switches while its threads read
// others, and glibc's setenv may move the environment under a concurrent
// getenv. Engine code reads and writes switches only through these.
#include <optional>
#include <string>

namespace vm::env {

// The variable's value, or none when unset.
std::optional<std::string> get(const char* name);
// Set and its first character is neither NUL nor '0'.
bool on(const char* name);
// Sets the variable; with overwrite false only when it is unset.
void set(const char* name, const char* value, bool overwrite);

} // namespace vm::env
