#pragma once
// The vocabulary in which the system talks to any language-model backend.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <variant>
#include <vector>

#include "VivirovKit/Support/UUID.h"

namespace vivirov {

enum class ProviderRole { system, user, assistant, tool };

const char* rawValue(ProviderRole role);
// Exactly "system", "user", "assistant" or "tool" (case-sensitive).
std::optional<ProviderRole> providerRoleFromRaw(std::string_view raw);

struct ProviderToolCall {
    std::string id;
    std::string name;
    // Arguments always travel as a flat map of text (see flattenArgumentsJSON).
    std::map<std::string, std::string> arguments;

    bool operator==(const ProviderToolCall&) const = default;
};

struct ProviderChatMessage {
    UUID id;
    ProviderRole role = ProviderRole::user;
    std::string content;
    std::optional<std::vector<ProviderToolCall>> toolCalls;
    std::optional<std::string> toolCallID;
    std::optional<std::string> toolName;

    static ProviderChatMessage make(ProviderRole role, std::string content) {
        ProviderChatMessage m;
        m.id = UUID::random();
        m.role = role;
        m.content = std::move(content);
        return m;
    }
};

struct ToolSchema {
    struct Parameter {
        std::string key;
        std::string description;
        bool required = false;
        bool operator==(const Parameter&) const = default;
    };
    std::string name;
    std::string description;
    std::vector<Parameter> parameters;
    bool operator==(const ToolSchema&) const = default;
};

// What onDelta receives while a provider streams.
struct StreamDelta {
    struct Text { std::string text; };
    struct ToolCall { ProviderToolCall call; };
    struct Reasoning { std::string text; };
    struct ToolArgProgress { int index = 0; std::string name; std::string partialArgs; };
    struct ContextSummary { std::string text; };
    std::variant<Text, ToolCall, Reasoning, ToolArgProgress, ContextSummary> value;

    static StreamDelta text(std::string s) { return {Text{std::move(s)}}; }
    static StreamDelta toolCall(ProviderToolCall c) { return {ToolCall{std::move(c)}}; }
    static StreamDelta reasoning(std::string s) { return {Reasoning{std::move(s)}}; }
    static StreamDelta toolArgProgress(int index, std::string name, std::string partial) {
        return {ToolArgProgress{index, std::move(name), std::move(partial)}};
    }
    static StreamDelta contextSummary(std::string s) { return {ContextSummary{std::move(s)}}; }
};

using OnDelta = std::function<void(const StreamDelta&)>;

struct StopReason {
    enum class Kind { endTurn, toolUse, length, contentFilter, other };
    Kind kind = Kind::endTurn;
    std::string otherText; // only for `other`

    static StopReason endTurn() { return {Kind::endTurn, {}}; }
    static StopReason toolUse() { return {Kind::toolUse, {}}; }
    static StopReason length() { return {Kind::length, {}}; }
    static StopReason contentFilter() { return {Kind::contentFilter, {}}; }
    static StopReason other(std::string text) { return {Kind::other, std::move(text)}; }
    bool operator==(const StopReason& o) const {
        return kind == o.kind && (kind != Kind::other || otherText == o.otherText);
    }
};

struct TokenUsage {
    int64_t promptTokens = 0;
    int64_t completionTokens = 0;
    int64_t total() const { return promptTokens + completionTokens; }
    bool operator==(const TokenUsage&) const = default;
};

struct ProviderResponse {
    std::string content;
    std::vector<ProviderToolCall> toolCalls;
    StopReason stopReason;
    std::optional<TokenUsage> usage;
};

// The error type of the provider border; what() is the text form.
class LLMProviderError : public std::runtime_error {
public:
    enum class Kind { notReady, transport, http, decoding };

    static LLMProviderError notReady(std::string message);
    static LLMProviderError transport(std::string message);
    static LLMProviderError http(int status, std::string message);
    static LLMProviderError decoding(std::string message);

    Kind kind() const { return kind_; }
    int status() const { return status_; }            // http only
    const std::string& message() const { return message_; }

private:
    LLMProviderError(Kind kind, int status, std::string message, const std::string& text)
        : std::runtime_error(text), kind_(kind), status_(status), message_(std::move(message)) {}
    Kind kind_;
    int status_ = 0;
    std::string message_;
};

// A failure of the HTTP transport itself (no connection, time-out, a broken
// or malformed transfer). Provider clients pass it to their callers as it is,
// never wrapped in LLMProviderError; what() is the transport's own text.
class TransportError : public std::runtime_error {
public:
    enum class Code { invalidURL, cannotConnect, timedOut, connectionLost, other };
    TransportError(Code code, const std::string& text) : std::runtime_error(text), code_(code) {}
    Code code() const { return code_; }

private:
    Code code_;
};

// A chat backend. Implementations are shared objects held by reference; one
// instance may serve several stream calls at once.
class LLMProvider {
public:
    virtual ~LLMProvider() = default;
    virtual std::string id() const = 0;
    virtual std::string displayName() const = 0;
    virtual bool isReady() const = 0;
    virtual bool supportsVision() const = 0;
    virtual std::optional<std::string> apiKey() const = 0;
    virtual void setApiKey(std::optional<std::string> key) = 0;
    virtual std::string model() const = 0;
    virtual void setModel(std::string model) = 0;
    // One model turn. Blocks until the answer is complete; calls onDelta
    // synchronously on the calling thread, in order. Throws LLMProviderError
    // for what the client detects itself; transport failures (TransportError)
    // and cancellation (CancellationError) pass through.
    virtual ProviderResponse stream(const std::vector<ProviderChatMessage>& messages,
                                    const std::vector<ToolSchema>& tools,
                                    double temperature,
                                    const OnDelta& onDelta,
                                    std::stop_token cancel = {}) = 0;
};

} // namespace vivirov
