#include "VivirovKit/Agentic/BracketMatcher.h"

#include <cstdint>

namespace vivirov {

// Scans started at different characters see the same characters and treat a
// backslash alike, so after their first character they agree on which
// characters are escaped. They differ only in whether they are inside a string,
// and that is fixed by the parity of the unescaped quotes seen before the
// scan began. So two classes of scans exist; within a class the scans differ
// only by a depth offset, and ends are found with one stack per class, as in
// ordinary bracket matching.
BracketMatcher::BracketMatcher(const GraphemeText& text, char open, char close)
    : closes_(text.size(), kNone) {
    struct Pending {
        uint32_t start;
        int32_t base; // the class depth at which this scan is back at its own depth 1
    };
    size_t opens = 0;
    for (size_t k = 0; k < text.size(); ++k) opens += text.ascii(k) == open;
    std::vector<Pending> stacks[2];
    stacks[0].reserve(opens);
    stacks[1].reserve(opens);
    int32_t depth[2] = {0, 0};
    int parity = 0;
    bool escaped = false;

    for (size_t k = 0; k < text.size(); ++k) {
        char c = text.ascii(k);
        if (escaped) {
            escaped = false;
            // Older scans skip this character; a scan starting here still opens.
            if (c == open) stacks[parity].push_back({uint32_t(k), depth[parity]});
            continue;
        }
        if (c == '\\') {
            escaped = true;
        } else if (c == '"') {
            parity ^= 1;
        } else if (c == open) {
            ++depth[parity];
            stacks[parity].push_back({uint32_t(k), depth[parity]});
        } else if (c == close) {
            auto& stack = stacks[parity];
            while (!stack.empty() && stack.back().base == depth[parity]) {
                closes_[stack.back().start] = uint32_t(k);
                stack.pop_back();
            }
            --depth[parity];
        }
    }
}

} // namespace vivirov
