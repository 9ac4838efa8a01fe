#pragma once
// A second local server ("derov-infinity", an MLX server), offered only with
// the legacy engines. Always ready: the server is asked only when used.
#include <optional>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/OpenAIProvider.h"

namespace vivirov {

class DerovInfinityProvider : public OpenAIProvider {
public:
    static constexpr std::string_view kDefaultBase = "http://127.0.0.1:8766";

    // No base means VIVIROV_DEROV_BASE_URL, else the default; normalised like
    // the local server slot.
    DerovInfinityProvider(std::optional<std::string> baseURL, std::string model);

    bool isReady() const override { return true; }
};

} // namespace vivirov
