#pragma once
#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "VivirovVizivurad/Chat/TransactionState.h"
#include "VivirovVizivurad/Store/ChatMessage.h"

namespace vivirov {

// The view rules of the chat transcript, apart from any widget.
namespace TranscriptRules {

// The one badge row under the last message.
struct BadgeRow {
    enum class Kind { none, tool, synthesizing };
    Kind kind = Kind::none;
    std::string toolName; // tool only
    // "tool-indicator", "synthesizing-indicator"; empty for none.
    QString key() const;
    bool operator==(const BadgeRow&) const = default;
};

BadgeRow badgeFor(const TransactionState& state);

// Only the last row, when it is an assistant row of a streaming pillar.
bool isStreamingRow(const std::vector<ChatMessage>& messages, size_t index, bool pillarStreaming);

// The content the list follows: the last message's, none for an empty list.
std::optional<std::string> followedContent(const std::vector<ChatMessage>& messages);

// The recall strip shows only when VIVIROV_SHOW_RECALL is exactly "1".
bool showsRecallStrip();

// "a.png · 336×210": an image pill's label.
QString imagePillLabel(const std::string& name, int width, int height);

} // namespace TranscriptRules
} // namespace vivirov
