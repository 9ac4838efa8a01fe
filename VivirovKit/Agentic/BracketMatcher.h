#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VivirovKit/Agentic/GraphemeText.h"

namespace vivirov {

// Where a bracket scan that starts at each opening character ends.
//
// The scan from an opening character counts that bracket pair outside
// double-quoted strings; a backslash (inside or outside strings) makes the
// next character inert. It ends at the closing character that brings it back
// to depth 0. Scanning afresh from every opening character is quadratic on a
// long run of unclosed brackets; this finds every end in one pass.
class BracketMatcher {
public:
    static constexpr size_t none = size_t(-1);

    BracketMatcher(const GraphemeText& text, char open, char close);

    // The index of the character that closes the scan starting at character k
    // (k must be the opening character), or `none` when the text ends first.
    size_t closeOf(size_t k) const { return closes_[k] == kNone ? none : closes_[k]; }

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    std::vector<uint32_t> closes_; // texts are far below 4 GiB
};

} // namespace vivirov
