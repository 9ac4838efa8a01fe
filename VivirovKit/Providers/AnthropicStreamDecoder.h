#pragma once
// Decodes the event stream of one Anthropic messages call: event framing
// ("event: " and "data:" lines closed by a blank line), text deltas, tool_use
// blocks whose JSON input arrives in fragments, stop reason and usage.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

class AnthropicStreamDecoder {
public:
    explicit AnthropicStreamDecoder(OnDelta onDelta);

    // One line of the body, without its terminator. An "error" event in the
    // stream throws LLMProviderError::transport with the event's message:
    // the answer was cut off and must not pass for a finished one.
    bool consumeLine(std::string_view line);
    // The end of the body: an event no blank line closed is dropped.
    ProviderResponse finish();

    static StopReason mapStopReason(const std::string& reason);

private:
    void handleEvent(const std::string& type, const std::string& data);

    OnDelta onDelta_;
    std::string pendingType_;
    std::string pendingData_;
    std::string answer_;
    std::vector<ProviderToolCall> calls_;
    StopReason stopReason_ = StopReason::endTurn();
    int64_t promptTokens_ = 0, completionTokens_ = 0;
    std::map<int64_t, std::string> blockTypes_, callIDs_, toolNames_, arguments_;
};

} // namespace vivirov
