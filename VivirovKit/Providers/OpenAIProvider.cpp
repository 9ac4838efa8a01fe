#include "VivirovKit/Providers/OpenAIProvider.h"

#include <algorithm>

#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Providers/OpenAIStreamDecoder.h"
#include "VivirovKit/Support/Env.h"
#include "VivirovKit/Support/Regex.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovKit/Support/UUID.h"

namespace vivirov {

namespace {

constexpr double kRizeruTemperatureCap = 0.35;

int64_t tokenLimit(bool hasTools) {
    int64_t n = env::integer("VIVIROV_VM_NPREDICT").value_or(0);
    if (n < 1) return hasTools ? 4096 : 2048;
    return std::clamp<int64_t>(n, 256, 8192);
}

std::string encodeArguments(const std::map<std::string, std::string>& arguments) {
    json::Value object = json::Value::object();
    for (const auto& [key, value] : arguments) object[key] = value;
    return LLMProviderSupport::jsonBody(object).value_or("{}");
}

} // namespace

OpenAIProvider::OpenAIProvider(std::string id, std::string displayName, std::string model,
                               std::optional<std::string> baseURL, std::optional<std::string> apiKey)
    : ProviderBase(std::move(apiKey), std::move(model)),
      id_(std::move(id)),
      displayName_(std::move(displayName)),
      baseURL_(baseURL ? std::move(*baseURL)
                       : env::string("OPENAI_BASE_URL").value_or(std::string(kDefaultBaseURL))) {}

bool OpenAIProvider::isLocalEndpoint() const {
    std::string lower = text::lowercased(baseURL_);
    return lower.find("127.0.0.1") != std::string::npos || lower.find("localhost") != std::string::npos ||
           lower.find("0.0.0.0") != std::string::npos;
}

bool OpenAIProvider::isReady() const {
    if (isLocalEndpoint()) return true;
    return settings().usableKey().has_value();
}

bool OpenAIProvider::isRizeruFamily(std::string_view id) {
    return id == "rizeru-local" || id.substr(0, 6) == "rizeru";
}

bool OpenAIProvider::usesLocalSampling(std::string_view id) {
    return isRizeruFamily(id) || id == "openai-compat" || id.substr(0, 5) == "gemma";
}

const std::string& OpenAIProvider::persona() {
    static const std::string text =
        "You are Vivirov Vizivurad \xE2\x80\x94 Dudive's proprietary local AI agent on the user's computer.\n"
        "Powered by Vivirov-Vizivurad-27B (Rizeru 1Q). You are NOT ChatGPT, Claude, or a generic assistant.\n"
        "Domain expertise: Indian luxury jewelry (Kundan, Polki, Meenakari, Rajputi, Temple), Dudive brand voice, "
        "e-commerce ops.\n"
        "RULES (non-negotiable):\n"
        "1. Answer the user DIRECTLY. Never narrate planning, steps, or \"thinking process\".\n"
        "2. Never write meta lines like \"Analyze User Input\", \"Formulate Response\", or numbered reasoning "
        "outlines.\n"
        "3. Never invent fake dialogue (### User: / ### Assistant: / ### Input: / ### Output:).\n"
        "4. Never open with \"Here's a thinking process\" or similar.\n"
        "5. Prefer one clear answer unless the user asks for detail.\n"
        "6. When tools are offered and the task needs host data (files, shell, web), you MUST call a tool via the "
        "tools API \xE2\x80\x94 never invent file contents or command output.\n"
        "7. After a tool result arrives, use it and either call another tool or give the final answer.\n"
        "8. Never invent SKU prices or inventory \xE2\x80\x94 use tools or say you don't have live data.";
    return text;
}

json::Value OpenAIProvider::encodeMessage(const ProviderChatMessage& m) {
    json::Value out = json::Value::object();
    switch (m.role) {
    case ProviderRole::system:
    case ProviderRole::user:
        out["role"] = rawValue(m.role);
        out["content"] = m.content;
        break;
    case ProviderRole::assistant:
        out["role"] = "assistant";
        if (!m.content.empty()) out["content"] = m.content;
        if (m.toolCalls && !m.toolCalls->empty()) {
            json::Value calls = json::Value::array();
            for (const auto& call : *m.toolCalls)
                calls.push_back({{"id", call.id},
                                 {"type", "function"},
                                 {"function", {{"name", call.name}, {"arguments", encodeArguments(call.arguments)}}}});
            out["tool_calls"] = std::move(calls);
        }
        break;
    case ProviderRole::tool:
        out["role"] = "tool";
        out["tool_call_id"] = m.toolCallID.value_or("");
        out["content"] = m.content;
        break;
    }
    return out;
}

json::Value OpenAIProvider::encodeTool(const ToolSchema& tool) {
    auto [properties, required] = stringParameters(tool, "string");
    return {{"type", "function"},
            {"function",
             {{"name", tool.name},
              {"description", tool.description},
              {"parameters", {{"type", "object"}, {"properties", properties}, {"required", required}}}}}};
}

std::map<std::string, std::string> OpenAIProvider::parseArgsJSON(std::string_view text) {
    return LLMProviderSupport::parseArgsJSON(text);
}

std::string OpenAIProvider::stripEmptyThinkWrappers(std::string_view content) {
    std::string out(content);
    if (env::isOn("VIVIROV_THINKING")) {
        static const Regex emptyThink("(?is)<think>\\s*</think>\\s*");
        static const Regex emptyThinking("(?is)<thinking>\\s*</thinking>\\s*");
        out = emptyThink.replaceAll(out, "");
        out = emptyThinking.replaceAll(out, "");
    } else {
        static const Regex think("(?is)<think>[\\s\\S]*?</think>\\s*");
        static const Regex thinking("(?is)<thinking>[\\s\\S]*?</thinking>\\s*");
        out = think.replaceAll(out, "");
        out = thinking.replaceAll(out, "");
        for (std::string_view tag : {"<think>", "</think>", "<thinking>", "</thinking>"}) {
            for (size_t at; (at = out.find(tag)) != std::string::npos;) out.erase(at, tag.size());
        }
    }
    return text::trimmed(out);
}

HTTPRequest OpenAIProvider::buildRequest(const std::vector<ProviderChatMessage>& messages,
                                         const std::vector<ToolSchema>& tools, double temperature) const {
    const Settings current = settings();
    const std::string& model = current.model;
    std::string key;
    if (auto usable = current.usableKey()) key = *usable;
    else if (isLocalEndpoint()) key = kLocalPlaceholderKey;
    else throw LLMProviderError::notReady("no " + id_ + " API key");

    const bool rizeru = isRizeruFamily(id_);
    std::vector<ProviderChatMessage> history = messages;
    if (rizeru) {
        auto first = std::find_if(history.begin(), history.end(),
                                  [](const ProviderChatMessage& m) { return m.role == ProviderRole::system; });
        if (first != history.end()) {
            ProviderChatMessage amended = *first;
            amended.id = UUID::random();
            amended.content = persona() + "\n\n" + first->content;
            history.erase(first);
            history.insert(history.begin(), std::move(amended));
        } else {
            history.insert(history.begin(), ProviderChatMessage::make(ProviderRole::system, persona()));
        }
        temperature = std::min(temperature, kRizeruTemperatureCap);
    }

    json::Value body = json::Value::object();
    body["model"] = model;
    body["stream"] = true;
    body["temperature"] = temperature;
    json::Value encoded = json::Value::array();
    for (const auto& m : history) encoded.push_back(encodeMessage(m));
    body["messages"] = std::move(encoded);
    if (!tools.empty()) {
        json::Value list = json::Value::array();
        for (const auto& t : tools) list.push_back(encodeTool(t));
        body["tools"] = std::move(list);
        body["tool_choice"] = "auto";
    }
    body["max_tokens"] = tokenLimit(!tools.empty());
    if (usesLocalSampling(id_)) {
        body["chat_template_kwargs"] = {{"enable_thinking", env::isOn("VIVIROV_THINKING")}, {"preserve_thinking", false}};
        body["stop"] = {"### User:", "### Input:", "\nUser:", "\nHuman:"};
        body["top_p"] = 0.9;
        body["top_k"] = 30;
        body["min_p"] = 0.05;
        body["repeat_penalty"] = 1.08;
        body["cache_prompt"] = true;
    }
    auto serialised = LLMProviderSupport::jsonBody(body);
    if (!serialised) throw LLMProviderError::decoding("could not encode request body");

    HTTPRequest request;
    request.method = "POST";
    request.url = baseURL_ + "/v1/chat/completions";
    request.timeoutInterval = 60;
    request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + key}};
    request.body = std::move(*serialised);
    return request;
}

ProviderResponse OpenAIProvider::stream(const std::vector<ProviderChatMessage>& messages,
                                        const std::vector<ToolSchema>& tools, double temperature,
                                        const OnDelta& onDelta, std::stop_token cancel) {
    HTTPRequest request = buildRequest(messages, tools, temperature);
    OpenAIStreamDecoder decoder(id_, onDelta);
    return LLMProviderSupport::decodeStream(request, cancel, decoder);
}

} // namespace vivirov
