#include "VivirovKit/Providers/ProviderBase.h"

namespace vivirov {

ProviderBase::ProviderBase(std::optional<std::string> apiKey, std::string model)
    : apiKey_(std::move(apiKey)), model_(std::move(model)) {}

std::optional<std::string> ProviderBase::apiKey() const {
    std::lock_guard lock(mutex_);
    return apiKey_;
}

void ProviderBase::setApiKey(std::optional<std::string> key) {
    std::lock_guard lock(mutex_);
    apiKey_ = std::move(key);
}

std::string ProviderBase::model() const {
    std::lock_guard lock(mutex_);
    return model_;
}

void ProviderBase::setModel(std::string model) {
    std::lock_guard lock(mutex_);
    model_ = std::move(model);
}

ProviderBase::Settings ProviderBase::settings() const {
    std::lock_guard lock(mutex_);
    return Settings{apiKey_, model_};
}

std::pair<std::string, std::vector<const ProviderChatMessage*>> ProviderBase::takeSystemText(
    const std::vector<ProviderChatMessage>& messages) {
    std::pair<std::string, std::vector<const ProviderChatMessage*>> out;
    bool taken = false;
    for (const auto& m : messages) {
        if (!taken && m.role == ProviderRole::system) {
            out.first = m.content;
            taken = true;
        } else {
            out.second.push_back(&m);
        }
    }
    return out;
}

std::pair<json::Value, json::Value> ProviderBase::stringParameters(const ToolSchema& tool, const char* stringType) {
    json::Value properties = json::Value::object();
    json::Value required = json::Value::array();
    for (const auto& p : tool.parameters) {
        properties[p.key] = {{"type", stringType}, {"description", p.description}};
        if (p.required) required.push_back(p.key);
    }
    return {std::move(properties), std::move(required)};
}

} // namespace vivirov
