#include "shader_library.h"

#include <cstring>
#include <map>

namespace vmgpu {

namespace {

std::map<std::string, std::vector<uint32_t>>& replacements() {
    static std::map<std::string, std::vector<uint32_t>> r;
    return r;
}

constexpr uint32_t kSpirvMagic = 0x07230203u;
constexpr uint32_t kOpEntryPoint = 15u;

} // namespace

std::span<const uint32_t> module_words(const char* name) {
    auto it = replacements().find(name);
    if (it != replacements().end()) return it->second;
    for (const EmbeddedModule& m : embedded_modules())
        if (std::strcmp(m.name, name) == 0) return {m.words, m.count};
    return {};
}

bool spirv_module_valid(std::span<const uint32_t> words, std::string& why) {
    if (words.size() < 5 || words[0] != kSpirvMagic) {
        why = "not a SPIR-V module (bad header)";
        return false;
    }
    bool entry = false;
    for (size_t i = 5; i < words.size();) {
        uint32_t count = words[i] >> 16, op = words[i] & 0xFFFFu;
        if (count == 0 || i + count > words.size()) {
            why = "truncated or malformed instruction at word " + std::to_string(i);
            return false;
        }
        entry = entry || op == kOpEntryPoint;
        i += count;
    }
    if (!entry) {
        why = "no entry point";
        return false;
    }
    return true;
}

void replace_module_for_testing(const char* name, std::vector<uint32_t> words) {
    replacements()[name] = std::move(words);
}

} // namespace vmgpu
