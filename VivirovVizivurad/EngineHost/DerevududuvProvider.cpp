#include "VivirovVizivurad/EngineHost/DerevududuvProvider.h"

#include <filesystem>

namespace vivirov {

namespace {

bool pathExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

} // namespace

DerevududuvProvider::DerevududuvProvider(std::string modelPath) : ProviderBase(std::nullopt, std::move(modelPath)) {}

std::string DerevududuvProvider::displayName() const {
    return "Local \xC2\xB7 Derevududuv (Qwen chat \xC2\xB7 ZOV4 LIVE separate)";
}

bool DerevududuvProvider::isReady() const { return pathExists(model()); }

ProviderResponse DerevududuvProvider::stream(const std::vector<ProviderChatMessage>&, const std::vector<ToolSchema>&,
                                             double, const OnDelta&, std::stop_token) {
    const std::string path = model();
    if (!pathExists(path)) throw LLMProviderError::notReady("Derevududuv model not found: " + path);
    throw LLMProviderError::notReady("Derevududuv engine failed to load: " + path);
}

} // namespace vivirov
