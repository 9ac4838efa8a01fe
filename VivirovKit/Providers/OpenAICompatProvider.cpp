#include "VivirovKit/Providers/OpenAICompatProvider.h"

#include "VivirovKit/Providers/RizeruLocalProvider.h"

namespace vivirov {

OpenAICompatProvider::OpenAICompatProvider(const std::string& baseURL, std::string id, std::string displayName,
                                           std::string model, std::optional<std::string> apiKey)
    : OpenAIProvider(std::move(id), std::move(displayName), std::move(model),
                     RizeruLocalProvider::normalizedBase(baseURL), std::move(apiKey)),
      configuredBaseURL_(RizeruLocalProvider::trimmedBase(baseURL)) {}

} // namespace vivirov
