#pragma once
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace vivirov {

// Short structured notes on an agent run for the activity feed.
struct AgentEvent {
    struct TurnStarted { std::string model; std::optional<std::string> source; bool operator==(const TurnStarted&) const = default; };
    struct Thinking { std::string status; bool operator==(const Thinking&) const = default; };
    struct ToolCallStarted { std::string id, name, argsPreview; bool operator==(const ToolCallStarted&) const = default; };
    struct ToolCallProgress { std::string id, partialOutputPreview; bool operator==(const ToolCallProgress&) const = default; };
    struct ToolCallFinished {
        std::string id;
        bool ok = false;
        int64_t durationMs = 0;
        std::string outputPreview;
        bool operator==(const ToolCallFinished&) const = default;
    };
    struct RoundUpdated { int n = 0, of = 0; bool operator==(const RoundUpdated&) const = default; };
    struct TokenRate { double tps = 0; bool operator==(const TokenRate&) const = default; };
    struct TurnFinished { std::string summary; bool operator==(const TurnFinished&) const = default; };
    struct TurnFailed { std::string reason; bool operator==(const TurnFailed&) const = default; };

    std::variant<TurnStarted, Thinking, ToolCallStarted, ToolCallProgress, ToolCallFinished, RoundUpdated, TokenRate,
                 TurnFinished, TurnFailed>
        value;

    bool operator==(const AgentEvent&) const = default;

    static AgentEvent thinking(std::string status) { return {Thinking{std::move(status)}}; }
    static AgentEvent toolCallStarted(std::string id, std::string name, std::string preview) {
        return {ToolCallStarted{std::move(id), std::move(name), std::move(preview)}};
    }
    static AgentEvent toolCallFinished(std::string id, bool ok, int64_t ms, std::string preview) {
        return {ToolCallFinished{std::move(id), ok, ms, std::move(preview)}};
    }
    static AgentEvent roundUpdated(int n, int of) { return {RoundUpdated{n, of}}; }
    static AgentEvent turnFinished(std::string summary) { return {TurnFinished{std::move(summary)}}; }
    static AgentEvent turnFailed(std::string reason) { return {TurnFailed{std::move(reason)}}; }
};

// Receives activity events synchronously, in emission order, on the run's thread.
using AgentActivitySink = std::function<void(const AgentEvent&)>;

} // namespace vivirov
