#pragma once
// The web fetch's address rule beyond the textual host rule: the host name is
// resolved here, every address it resolves to must be public, and the
// transfer is pinned to the checked address so a second lookup cannot lead it
// elsewhere.
#include <string>
#include <vector>

namespace vivirov {

struct PublicAddressCheck {
    bool allowed = false;
    std::string host;                       // as the URL parser reads it
    std::vector<std::string> pinnedAddresses; // "host:port:address" for the transfer
    std::string error;                        // why a lookup failed (allowed is false, refused false)
    bool refused = false;                     // a blocked name or address, as opposed to a failed lookup

    static PublicAddressCheck check(const std::string& url);

    // True for loopback, unspecified, private, shared, link-local (metadata),
    // multicast and reserved addresses, IPv4-mapped ones included.
    static bool isNonPublicAddress(const std::string& numericAddress);

    // Test code only: lets the fetch reach 127.0.0.1 at this one port (0
    // withdraws it). Nothing outside a test sets it.
    static void allowLoopbackPortForTesting(int port);
    // True when the allowance covers this URL (http(s)://127.0.0.1:<port>).
    static bool isAllowedForTesting(const std::string& url);
};

} // namespace vivirov
