#include "VivirovKit/Agentic/InferenceTransactionManager.h"

#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/ToolCallEnvelope.h"

namespace vivirov {

// ---- Tool-call envelopes -----------------------------------------------------

std::optional<InferenceTransactionManager::ToolInvocation>
InferenceTransactionManager::detectToolCall(std::string_view in) {
    GraphemeText text(in);
    auto envelope = ToolCallEnvelope::find(text);
    if (!envelope) return std::nullopt;
    return ToolInvocation{
        std::string(in.substr(0, envelope->tagStart)),
        std::string(in.substr(envelope->innerStart, envelope->innerEnd - envelope->innerStart)),
        std::string(in.substr(envelope->suffixStart)),
    };
}

} // namespace vivirov
