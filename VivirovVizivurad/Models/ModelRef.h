#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "VivirovVizivurad/Models/ModelFit.h"

namespace vivirov {

// One downloadable model file of the model hub.
struct ModelRef {
    // The hub the app downloads from unless told otherwise.
    static constexpr const char* kDefaultHubBase = "https://huggingface.co/";

    std::string displayName;
    std::string org;  // the hub account publishing the repository
    std::string repo;
    std::string file; // the GGUF file inside the repository
    int64_t approxBytes = 0;
    ModelFit fit = ModelFit::fast;

    bool operator==(const ModelRef&) const = default;

    // "<org>/<repo>/<file>": names a download everywhere in the manager.
    std::string id() const;
    // <hubBase><org>/<repo>/resolve/main/<file>?download=true; `hubBase` is a
    // scheme and host ending in "/".
    std::string hfURL(const std::string& hubBase = kDefaultHubBase) const;
};

} // namespace vivirov

template <>
struct std::hash<vivirov::ModelRef> {
    size_t operator()(const vivirov::ModelRef& ref) const noexcept;
};
