#pragma once
#include <chrono>
#include <string>
#include <vector>

namespace vivirov {

// GET of a server's health URL: up when an HTTP answer with a status below
// 500 (404 included) arrives within the wait; a bad URL, a transport error,
// a 5xx or silence past the wait read as down.
class HealthProbe {
public:
    struct Timing {
        std::chrono::milliseconds request; // to set up the connection
        std::chrono::milliseconds wait;    // for the whole answer
    };

    static bool probe(const std::string& url, Timing timing);
    // Probes all at once, so silent servers cost one wait rather than one
    // each; results in the order of `urls`.
    static std::vector<bool> probeAll(const std::vector<std::string>& urls, Timing timing);
    // "http://127.0.0.1:<port>/health" for the port a usual port resolves to.
    static std::string healthURL(int usualPort);
};

} // namespace vivirov
