#pragma once
// The xAI chat endpoint ("grok"), an OpenAI-style cloud API.
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/OpenAIProvider.h"

namespace vivirov {

class XAIProvider : public OpenAIProvider {
public:
    static constexpr std::string_view kDefaultBase = "https://api.x.ai";

    // The base is XAI_BASE_URL when set, else the xAI API, used as given.
    XAIProvider(std::string model, std::optional<std::string> apiKey);
};

} // namespace vivirov
