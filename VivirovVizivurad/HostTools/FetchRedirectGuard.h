#pragma once
#include <optional>
#include <string>

namespace vivirov {

// The web fetch's redirect decision: the same host rule as the first
// request, so a public page cannot bounce a fetch onto a private address.
// The fetch's transfer loop asks it at every redirect; a refused redirect
// ends the fetch with the redirect response itself.
class FetchRedirectGuard {
public:
    // The address to follow (the proposed one, unchanged), or none when the
    // redirect must not be followed. An empty address is followed as is.
    std::optional<std::string> willPerformHTTPRedirection(const std::string& newURL) const;
};

} // namespace vivirov
