#include "VivirovVizivurad/HostTools/FetchRedirectGuard.h"

#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

namespace vivirov {

std::optional<std::string> FetchRedirectGuard::willPerformHTTPRedirection(const std::string& newURL) const {
    if (!newURL.empty() && ToolExecutionManager::isBlockedHost(newURL)) return std::nullopt;
    return newURL;
}

} // namespace vivirov
