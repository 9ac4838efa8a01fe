// Artifact extraction runs on every streamed drain of a model's answer, so it
// must accept any text: each artifact's content is a piece of that text, and
// the current artifact is the last extracted one.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VivirovKit/Agentic/ArtifactEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto artifacts = vivirov::ArtifactEngine::extract(text);
    for (const auto& artifact : artifacts) {
        if (artifact.content.empty() || text.find(artifact.content) == std::string_view::npos)
            __builtin_trap();
        if (artifact.title.empty()) __builtin_trap();
    }
    const auto current = vivirov::ArtifactEngine::current(text, true);
    if (current.has_value() != !artifacts.empty()) __builtin_trap();
    if (current && (current->content != artifacts.back().content ||
                    current->title != artifacts.back().title || !current->isStreaming))
        __builtin_trap();
    return 0;
}
