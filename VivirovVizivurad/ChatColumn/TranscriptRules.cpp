#include "VivirovVizivurad/ChatColumn/TranscriptRules.h"

#include "VivirovKit/Support/Env.h"

namespace vivirov::TranscriptRules {

QString BadgeRow::key() const {
    switch (kind) {
    case Kind::tool: return QStringLiteral("tool-indicator");
    case Kind::synthesizing: return QStringLiteral("synthesizing-indicator");
    case Kind::none: break;
    }
    return {};
}

BadgeRow badgeFor(const TransactionState& state) {
    using K = TransactionState::Kind;
    switch (state.kind) {
    case K::executingTool: return {BadgeRow::Kind::tool, state.name};
    case K::transactionOpen:
    case K::validating:
    case K::rollingBack:
    case K::penaltyInjected: return {BadgeRow::Kind::synthesizing, {}};
    case K::idle:
    case K::decodingProse: break;
    }
    return {};
}

bool isStreamingRow(const std::vector<ChatMessage>& messages, size_t index, bool pillarStreaming) {
    return pillarStreaming && !messages.empty() && index + 1 == messages.size() &&
           messages[index].role == Role::assistant;
}

std::optional<std::string> followedContent(const std::vector<ChatMessage>& messages) {
    if (messages.empty()) return std::nullopt;
    return messages.back().content;
}

bool showsRecallStrip() { return env::isOn("VIVIROV_SHOW_RECALL"); }

QString imagePillLabel(const std::string& name, int width, int height) {
    return QString::fromStdString(name) + QStringLiteral(" \u00B7 ") + QString::number(width) + QChar(0x00D7) +
           QString::number(height);
}

} // namespace vivirov::TranscriptRules
