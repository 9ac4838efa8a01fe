#pragma once
// Any OpenAI-compatible endpoint whose base, id and display name the caller
// gives (the user's compatible slot, the local multi-drafter server).
#include <optional>
#include <string>

#include "VivirovKit/Providers/OpenAIProvider.h"

namespace vivirov {

class OpenAICompatProvider : public OpenAIProvider {
public:
    // Requests go to the base less one trailing "/v1", so a base given with
    // or without it reaches the same "/v1/chat/completions".
    OpenAICompatProvider(const std::string& baseURL, std::string id, std::string displayName, std::string model,
                         std::optional<std::string> apiKey);

    // The base as configured: trimmed, without trailing slashes, "/v1" kept.
    const std::string& configuredBaseURL() const { return configuredBaseURL_; }

private:
    const std::string configuredBaseURL_;
};

} // namespace vivirov
