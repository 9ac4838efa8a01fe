#pragma once
// Decodes the server-sent event stream of one OpenAI-style chat-completions
// call, line by line: text and reasoning (split by ThinkStreamParser), tool
// call fragments with argument progress, finish reason and usage; then
// assembles the turn's ProviderResponse.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Providers/ThinkStreamParser.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class OpenAIStreamDecoder {
public:
    // Characters of argument text carried by each progress event.
    static constexpr size_t kProgressTail = 160;

    // `providerID` decides the Rizeru clean-up of the final content;
    // `surfaceReasoning` none follows VIVIROV_THINKING.
    OpenAIStreamDecoder(std::string providerID, OnDelta onDelta, std::optional<bool> surfaceReasoning = std::nullopt);

    // One line of the body, without its terminator. Returns false once the
    // stream has said "[DONE]": nothing after it is read.
    bool consumeLine(std::string_view line);
    // The end of the stream: flushes held-back text, emits the assembled tool
    // calls and returns the turn.
    ProviderResponse finish();

    static StopReason mapFinishReason(const std::string& reason);

private:
    void handleChunk(const json::Value& chunk);
    void handleToolFragment(const json::Value& fragment);
    void emitPieces(const std::vector<ThinkStreamParser::Piece>& pieces);

    std::string providerID_;
    OnDelta onDelta_;
    ThinkStreamParser think_;
    std::string answer_;
    std::map<int64_t, std::string> ids_, names_, arguments_;
    int64_t largestIndex_ = -1;
    bool toolCallsSeen_ = false;
    StopReason stopReason_ = StopReason::endTurn();
    int64_t promptTokens_ = 0, completionTokens_ = 0;
};

} // namespace vivirov
