#include "VivirovKit/Providers/ProviderTypes.h"

namespace vivirov {

const char* rawValue(ProviderRole role) {
    switch (role) {
    case ProviderRole::system: return "system";
    case ProviderRole::user: return "user";
    case ProviderRole::assistant: return "assistant";
    case ProviderRole::tool: return "tool";
    }
    return "user";
}

std::optional<ProviderRole> providerRoleFromRaw(std::string_view raw) {
    if (raw == "system") return ProviderRole::system;
    if (raw == "user") return ProviderRole::user;
    if (raw == "assistant") return ProviderRole::assistant;
    if (raw == "tool") return ProviderRole::tool;
    return std::nullopt;
}

LLMProviderError LLMProviderError::notReady(std::string message) {
    return {Kind::notReady, 0, message, "provider not ready: " + message};
}
LLMProviderError LLMProviderError::transport(std::string message) {
    return {Kind::transport, 0, message, "transport error: " + message};
}
LLMProviderError LLMProviderError::http(int status, std::string message) {
    return {Kind::http, status, message, "http " + std::to_string(status) + ": " + message};
}
LLMProviderError LLMProviderError::decoding(std::string message) {
    return {Kind::decoding, 0, message, "decoding error: " + message};
}

} // namespace vivirov
