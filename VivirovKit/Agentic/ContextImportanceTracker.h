#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

// Shortens a chat history to a token budget: keeps the leading system
// messages and the latest messages, keeps the most important others while
// they fit, and prunes user/assistant turns behind a summary marker.
class ContextImportanceTracker {
public:
    ContextImportanceTracker(int64_t maxTokens, int64_t keepRecentUserTurns);

    int64_t maxTokens() const { return maxTokens_; }
    int64_t keepRecentUserTurns() const { return keepRecentUserTurns_; }

    std::vector<ProviderChatMessage> trim(const std::vector<ProviderChatMessage>& history) const;

    struct TrimResult {
        std::vector<ProviderChatMessage> messages;
        std::optional<std::string> summary;
    };
    TrimResult trimWithSummary(const std::vector<ProviderChatMessage>& history) const;

    double score(const std::string& message, const std::string& role, int64_t index, int64_t total) const;

    // (UTF-8 bytes + 3) / 4.
    static int64_t estimateTokens(const std::string& text);
    // The estimate of the contents joined with one line feed.
    static int64_t estimateTokens(const std::vector<ProviderChatMessage>& messages);
    static std::string summarizeDropped(const std::vector<ProviderChatMessage>& dropped);

private:
    int64_t maxTokens_;
    int64_t keepRecentUserTurns_;
};

} // namespace vivirov
