#pragma once
// Finds a GGUF file's "general.architecture" in its first 4096 bytes, so a
// candidate model is classified with one small read. Free of Qt so the
// fuzz target can drive it.
#include <optional>
#include <string>
#include <string_view>

namespace vivirov {

constexpr size_t kGGUFProbeBytes = 4096;

// The architecture named among the first 32 key-value pairs of `head` (the
// file's first bytes), absent when the header is not "GGUF"/"CGUF", the key is
// missing or not a string, or anything runs past `head`.
std::optional<std::string> ggufArchitectureInHeader(std::string_view head);
// The same for the first 4096 bytes of the file; absent when unreadable.
std::optional<std::string> readGGUFArchitecture(const std::string& path);

} // namespace vivirov
