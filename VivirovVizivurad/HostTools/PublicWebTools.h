#pragma once
// The executor's web tools: a search through an external script and a fetch
// of one public page as readable text.
#include <optional>
#include <string>

#include "VivirovVizivurad/HostTools/HostToolBackends.h"

namespace vivirov {

class PublicWebTools final : public WebTools {
public:
    // Bytes downloaded at most; a longer body is cut here.
    static constexpr size_t maxDownloadBytes = 8u << 20;
    // Characters of decoded text kept before the page is reduced to text.
    static constexpr size_t maxDecodedCharacters = 1'500'000;
    // Seconds without data before the fetch gives up.
    static constexpr double idleTimeoutSeconds = 20.0;

    // `bundledScript` is the search script the app carries (tests name another).
    PublicWebTools();
    explicit PublicWebTools(std::string bundledScript);

    std::string webSearch(const std::string& query, ProcessRegistry& registry, std::stop_token stop) override;
    std::string webFetch(const std::string& url, std::stop_token stop) override;

    // The search script: $VIVIROV_WEB_SEARCH_SCRIPT, $VIVIROV_WEBSEARCH_SCRIPT,
    // then the app's resources; none when no candidate file exists.
    std::optional<std::string> resolveWebSearchScript() const;

private:
    std::string bundledScript_;
};

} // namespace vivirov
