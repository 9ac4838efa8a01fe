#include "VivirovKit/Providers/DerovInfinityProvider.h"

#include "VivirovKit/Providers/RizeruLocalProvider.h"
#include "VivirovKit/Support/Env.h"

namespace vivirov {

DerovInfinityProvider::DerovInfinityProvider(std::optional<std::string> baseURL, std::string model)
    : OpenAIProvider("derov-infinity", "Derov \xE2\x88\x9E \xC2\xB7 local MLX", std::move(model),
                     RizeruLocalProvider::normalizedBase(
                         baseURL ? *baseURL
                                 : env::string("VIVIROV_DEROV_BASE_URL").value_or(std::string(kDefaultBase))),
                     std::string(RizeruLocalProvider::kPlaceholderKey)) {}

} // namespace vivirov
