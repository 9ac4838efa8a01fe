#include "VivirovKit/Agentic/ContextWindowGuard.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

template <typename Range>
std::string joinLines(const Range& parts, bool skipEmpty) {
    std::string out;
    bool first = true;
    for (const std::string& part : parts) {
        if (skipEmpty && part.empty()) continue;
        if (!first) out += '\n';
        out += part;
        first = false;
    }
    return out;
}

} // namespace

int64_t ContextWindowGuard::estimateTokens(std::string_view text) {
    return static_cast<int64_t>((text.size() + 3) / 4);
}

int64_t ContextWindowGuard::budgetTokens() const {
    const double product = static_cast<double>(kvBudgetTokens) * thresholdFraction;
    // Callers keep this finite and in range; clamp rather than invoke undefined
    // behaviour if one does not.
    if (std::isnan(product)) return 0;
    if (product >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (product <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(product);
}

std::string ContextWindowGuard::compress(const std::vector<std::string>& blocks,
                                         const Summarizer& summarize, int keepRecent) const {
    if (blocks.empty()) return "";
    const int64_t budget = budgetTokens();
    std::string joined = joinLines(blocks, false);
    if (estimateTokens(joined) <= budget) return joined;

    const size_t k = std::min(static_cast<size_t>(std::max(keepRecent, 0)), blocks.size());
    const std::vector<std::string> old(blocks.begin(), blocks.end() - static_cast<ptrdiff_t>(k));
    std::deque<std::string> recent(blocks.end() - static_cast<ptrdiff_t>(k), blocks.end());
    const std::string summary = old.empty() ? std::string() : summarize(old);

    auto assemble = [&] {
        std::vector<std::string> parts;
        parts.reserve(recent.size() + 1);
        parts.push_back(summary);
        parts.insert(parts.end(), recent.begin(), recent.end());
        return joinLines(parts, true);
    };
    std::string assembled = assemble();
    while (!recent.empty() && estimateTokens(assembled) > budget) {
        recent.pop_front();
        assembled = assemble();
    }
    const size_t maxChars = budget > 0 ? static_cast<size_t>(std::min<int64_t>(
                                             budget, std::numeric_limits<int64_t>::max() / 4)) * 4
                                       : 0;
    // Cheap check first: a text of at most maxChars bytes has at most as many
    // characters.
    if (assembled.size() <= maxChars || text::graphemeCount(assembled) <= maxChars)
        return assembled;
    return text::graphemeSuffix(assembled, maxChars);
}

} // namespace vivirov
