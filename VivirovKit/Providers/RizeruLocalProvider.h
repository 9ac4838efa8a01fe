#pragma once
// The local model server of the default slot ("rizeru-local"), a
// llama-server style process on the loopback interface. Readiness comes from
// a reachability cache refreshed in the background by a health probe, so
// asking whether the provider is ready never waits for the network.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/OpenAIProvider.h"

namespace vivirov {

class RizeruLocalProvider : public OpenAIProvider {
public:
    static constexpr std::string_view kDefaultBase = "http://127.0.0.1:8080";
    static constexpr std::string_view kDefaultModel = "rizeru-qwen3.6-27b";
    static constexpr double kCacheTTL = 10.0;     // seconds an answer stays fresh
    static constexpr double kProbeTimeout = 1.5;  // seconds per health request
    // Sent as the bearer key by the local classes; their servers check none.
    static constexpr std::string_view kPlaceholderKey = "local";

    // No base means resolvedBase(); a given one is normalised the same way.
    RizeruLocalProvider(std::optional<std::string> baseURL, std::string model);
    ~RizeruLocalProvider() override;

    // VIVIROV_RIZERU_BASE_URL when set, else the default local base; normalised.
    static std::string resolvedBase();
    // Trims blanks and line breaks, drops trailing slashes, then one "/v1".
    static std::string normalizedBase(std::string_view base);
    // Only the first two steps: trimmed, without trailing slashes.
    static std::string trimmedBase(std::string_view base);

    // The cached answer; a stale cache starts a background probe. Never waits.
    bool isReady() const override;
    bool supportsVision() const override { return false; }

    // Refreshes the cache when it is stale (or always, with force) and returns
    // the answer. While another probe runs, the cached answer comes back at once.
    bool probeReachability(bool force);
    // Records an answer obtained elsewhere as if a probe had just returned it.
    void noteProbeResult(bool reachable);
    const std::string& serverBase() const { return baseURL(); }

    // One GET of <base>/health: reachable on a 2xx answer unless its JSON says
    // a "status" other than "ok". Any failure is false.
    static bool probeHealth(const std::string& base);
    // The same, blocking at most `timeout` + 0.5 seconds.
    static bool probeHealthSync(const std::string& base, double timeout);

    struct Reachability; // shared with background probes, which never keep the provider alive

private:
    std::shared_ptr<Reachability> reach_;
};

} // namespace vivirov
