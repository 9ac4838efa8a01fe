#include "VivirovKit/Providers/XAIProvider.h"

#include "VivirovKit/Support/Env.h"

namespace vivirov {

XAIProvider::XAIProvider(std::string model, std::optional<std::string> apiKey)
    : OpenAIProvider("grok", "xAI \xC2\xB7 Grok", std::move(model),
                     env::string("XAI_BASE_URL").value_or(std::string(kDefaultBase)), std::move(apiKey)) {}

} // namespace vivirov
