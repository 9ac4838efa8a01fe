#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vivirov {

// Squeezes a list of text blocks (oldest first) into a token budget: the
// older blocks are summarised, the oldest recent ones dropped while the text
// is still too long, and the result cut to the budget's worth of characters.
struct ContextWindowGuard {
    using Summarizer = std::function<std::string(const std::vector<std::string>&)>;

    int64_t kvBudgetTokens = 0;
    double thresholdFraction = 0;

    ContextWindowGuard(int64_t kvBudgetTokens, double thresholdFraction)
        : kvBudgetTokens(kvBudgetTokens), thresholdFraction(thresholdFraction) {}

    // UTF-8 bytes plus 3, divided by 4.
    static int64_t estimateTokens(std::string_view text);
    int64_t budgetTokens() const;
    std::string compress(const std::vector<std::string>& blocks, const Summarizer& summarize,
                         int keepRecent) const;
};

} // namespace vivirov
