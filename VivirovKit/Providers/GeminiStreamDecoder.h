#pragma once
// Decodes the data lines of one Gemini stream-generate call: text parts,
// function calls (ids "<name>-<n>"), finish reason and usage metadata.
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class GeminiStreamDecoder {
public:
    explicit GeminiStreamDecoder(OnDelta onDelta);

    // One line of the body, without its terminator; the stream has no end
    // marker, so this always asks for more.
    bool consumeLine(std::string_view line);
    ProviderResponse finish();

    static StopReason mapFinishReason(const std::string& reason);

private:
    void handleChunk(const json::Value& chunk);

    OnDelta onDelta_;
    std::string answer_;
    std::vector<ProviderToolCall> calls_;
    StopReason stopReason_ = StopReason::endTurn();
    int64_t promptTokens_ = 0, completionTokens_ = 0;
    bool sawFunctionCall_ = false;
};

} // namespace vivirov
