#include "VivirovKit/Providers/GeminiProvider.h"

#include "VivirovKit/Providers/GeminiStreamDecoder.h"
#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Support/Env.h"

namespace vivirov {

GeminiProvider::GeminiProvider(std::string model, std::optional<std::string> baseURL, std::optional<std::string> apiKey)
    : ProviderBase(std::move(apiKey), std::move(model)),
      baseURL_(baseURL ? std::move(*baseURL) : env::string("GEMINI_BASE_URL").value_or(std::string(kDefaultBaseURL))) {}

bool GeminiProvider::isReady() const {
    return settings().usableKey().has_value();
}

std::string GeminiProvider::percentEncoded(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

json::Value GeminiProvider::encodeMessage(const ProviderChatMessage& m) {
    switch (m.role) {
    case ProviderRole::system:
    case ProviderRole::user:
        return {{"role", "user"}, {"parts", json::Value::array({{{"text", m.content}}})}};
    case ProviderRole::assistant: {
        json::Value parts = json::Value::array();
        if (!m.content.empty()) parts.push_back({{"text", m.content}});
        if (m.toolCalls)
            for (const auto& call : *m.toolCalls) {
                json::Value args = json::Value::object();
                for (const auto& [key, value] : call.arguments) args[key] = value;
                parts.push_back({{"functionCall", {{"name", call.name}, {"args", args}}}});
            }
        return {{"role", "model"}, {"parts", parts}};
    }
    case ProviderRole::tool:
        return {{"role", "user"},
                {"parts", json::Value::array({{{"functionResponse",
                                                {{"name", m.toolName.value_or("tool")},
                                                 {"response", {{"output", m.content}}}}}}})}};
    }
    return json::Value::object();
}

json::Value GeminiProvider::encodeTool(const ToolSchema& tool) {
    auto [properties, required] = stringParameters(tool, "STRING");
    return {{"name", tool.name},
            {"description", tool.description},
            {"parameters", {{"type", "OBJECT"}, {"properties", properties}, {"required", required}}}};
}

HTTPRequest GeminiProvider::buildRequest(const std::vector<ProviderChatMessage>& messages,
                                         const std::vector<ToolSchema>& tools, double temperature) const {
    const Settings current = settings();
    const std::string& model = current.model;
    auto key = current.usableKey();
    if (!key) throw LLMProviderError::notReady("no Gemini API key");

    auto [system, rest] = takeSystemText(messages);
    json::Value contents = json::Value::array();
    for (const ProviderChatMessage* m : rest) contents.push_back(encodeMessage(*m));
    json::Value body = {{"contents", std::move(contents)},
                        {"generationConfig", {{"temperature", temperature}, {"maxOutputTokens", kMaxOutputTokens}}}};
    if (!system.empty()) body["systemInstruction"] = {{"parts", json::Value::array({{{"text", system}}})}};
    if (!tools.empty()) {
        json::Value declarations = json::Value::array();
        for (const auto& t : tools) declarations.push_back(encodeTool(t));
        body["tools"] = json::Value::array({{{"functionDeclarations", std::move(declarations)}}});
    }
    auto serialised = LLMProviderSupport::jsonBody(body);
    if (!serialised) throw LLMProviderError::decoding("could not encode request body");

    HTTPRequest request;
    request.method = "POST";
    request.url = baseURL_ + "/v1beta/models/" + percentEncoded(model) + ":streamGenerateContent?alt=sse&key=" +
                  percentEncoded(*key);
    request.timeoutInterval = 60;
    request.headers = {{"Content-Type", "application/json"}};
    request.body = std::move(*serialised);
    return request;
}

ProviderResponse GeminiProvider::stream(const std::vector<ProviderChatMessage>& messages,
                                        const std::vector<ToolSchema>& tools, double temperature,
                                        const OnDelta& onDelta, std::stop_token cancel) {
    HTTPRequest request = buildRequest(messages, tools, temperature);
    GeminiStreamDecoder decoder(onDelta);
    return LLMProviderSupport::decodeStream(request, cancel, decoder);
}

} // namespace vivirov
