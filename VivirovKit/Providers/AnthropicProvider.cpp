#include "VivirovKit/Providers/AnthropicProvider.h"

#include <algorithm>

#include "VivirovKit/Providers/AnthropicStreamDecoder.h"
#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Support/Env.h"

namespace vivirov {

namespace {
json::Value stringValues(const std::map<std::string, std::string>& arguments) {
    json::Value object = json::Value::object();
    for (const auto& [key, value] : arguments) object[key] = value;
    return object;
}
} // namespace

AnthropicProvider::AnthropicProvider(std::string model, std::optional<std::string> baseURL,
                                     std::optional<std::string> apiKey)
    : ProviderBase(std::move(apiKey), std::move(model)),
      baseURL_(baseURL ? std::move(*baseURL)
                       : env::string("ANTHROPIC_BASE_URL").value_or(std::string(kDefaultBaseURL))) {}

bool AnthropicProvider::isReady() const {
    return settings().usableKey().has_value();
}

json::Value AnthropicProvider::encodeMessage(const ProviderChatMessage& m) {
    switch (m.role) {
    case ProviderRole::system:
    case ProviderRole::user:
        return {{"role", "user"}, {"content", json::Value::array({{{"type", "text"}, {"text", m.content}}})}};
    case ProviderRole::assistant: {
        json::Value blocks = json::Value::array();
        if (!m.content.empty()) blocks.push_back({{"type", "text"}, {"text", m.content}});
        if (m.toolCalls)
            for (const auto& call : *m.toolCalls)
                blocks.push_back(
                    {{"type", "tool_use"}, {"id", call.id}, {"name", call.name}, {"input", stringValues(call.arguments)}});
        return {{"role", "assistant"}, {"content", blocks}};
    }
    case ProviderRole::tool:
        return {{"role", "user"},
                {"content", json::Value::array({{{"type", "tool_result"},
                                                 {"tool_use_id", m.toolCallID.value_or("")},
                                                 {"content", m.content}}})}};
    }
    return json::Value::object();
}

json::Value AnthropicProvider::encodeTool(const ToolSchema& tool) {
    auto [properties, required] = stringParameters(tool, "string");
    return {{"name", tool.name},
            {"description", tool.description},
            {"input_schema", {{"type", "object"}, {"properties", properties}, {"required", required}}}};
}

std::map<std::string, std::string> AnthropicProvider::parseArgsJSON(std::string_view text) {
    return LLMProviderSupport::parseArgsJSON(text);
}

HTTPRequest AnthropicProvider::buildRequest(const std::vector<ProviderChatMessage>& messages,
                                            const std::vector<ToolSchema>& tools, double temperature) const {
    const Settings current = settings();
    const std::string& model = current.model;
    auto key = current.usableKey();
    if (!key) throw LLMProviderError::notReady("no Anthropic API key");

    auto [system, rest] = takeSystemText(messages);
    json::Value encoded = json::Value::array();
    for (const ProviderChatMessage* m : rest) encoded.push_back(encodeMessage(*m));
    json::Value body = {{"model", model},         {"max_tokens", kMaxTokens}, {"temperature", temperature},
                        {"stream", true},         {"system", system},         {"messages", std::move(encoded)}};
    if (!tools.empty()) {
        json::Value list = json::Value::array();
        for (const auto& t : tools) list.push_back(encodeTool(t));
        body["tools"] = std::move(list);
    }
    auto serialised = LLMProviderSupport::jsonBody(body);
    if (!serialised) throw LLMProviderError::decoding("could not encode request body");

    HTTPRequest request;
    request.method = "POST";
    request.url = baseURL_ + "/v1/messages";
    request.timeoutInterval = 60;
    request.headers = {{"Content-Type", "application/json"},
                       {"x-api-key", *key},
                       {"anthropic-version", std::string(kAPIVersion)}};
    request.body = std::move(*serialised);
    return request;
}

ProviderResponse AnthropicProvider::stream(const std::vector<ProviderChatMessage>& messages,
                                           const std::vector<ToolSchema>& tools, double temperature,
                                           const OnDelta& onDelta, std::stop_token cancel) {
    HTTPRequest request = buildRequest(messages, tools, temperature);
    AnthropicStreamDecoder decoder(onDelta);
    return LLMProviderSupport::decodeStream(request, cancel, decoder);
}

} // namespace vivirov
