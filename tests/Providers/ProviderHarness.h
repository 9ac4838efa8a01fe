#pragma once
// Helpers for driving provider clients against the loopback test server.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Clock.h"
#include "VivirovKit/Support/Json.h"
#include "tests/support/HttpTestServer.h"

namespace vivirov::test {

// Installs a FakeClock as the process clock for one scope.
struct FakeClockScope {
    FakeClock clock;
    FakeClockScope() { Clock::setCurrent(&clock); }
    ~FakeClockScope() { Clock::setCurrent(nullptr); }
};

// One delta as text, so a whole stream compares as a list of strings.
inline std::string describe(const StreamDelta& d) {
    struct Visitor {
        std::string operator()(const StreamDelta::Text& t) const { return "text:" + t.text; }
        std::string operator()(const StreamDelta::Reasoning& r) const { return "reasoning:" + r.text; }
        std::string operator()(const StreamDelta::ToolArgProgress& p) const {
            return "progress:" + std::to_string(p.index) + ":" + p.name + ":" + p.partialArgs;
        }
        std::string operator()(const StreamDelta::ContextSummary& s) const { return "summary:" + s.text; }
        std::string operator()(const StreamDelta::ToolCall& c) const {
            std::string out = "call:" + c.call.id + ":" + c.call.name + ":{";
            bool first = true;
            for (const auto& [k, v] : c.call.arguments) {
                out += (first ? "" : ";") + k + "=" + v;
                first = false;
            }
            return out + "}";
        }
    };
    return std::visit(Visitor{}, d.value);
}

struct StreamRun {
    std::vector<std::string> deltas;
    ProviderResponse response;
};

inline StreamRun runStream(LLMProvider& provider, const std::vector<ProviderChatMessage>& messages,
                           const std::vector<ToolSchema>& tools = {}, double temperature = 0.5,
                           std::stop_token cancel = {}) {
    StreamRun run;
    run.response = provider.stream(messages, tools, temperature,
                                   [&](const StreamDelta& d) { run.deltas.push_back(describe(d)); }, cancel);
    return run;
}

inline std::vector<ProviderChatMessage> userSays(const std::string& text) {
    return {ProviderChatMessage::make(ProviderRole::user, text)};
}

// Plays `sse` once whole and then at `rounds` random chunkings (with short
// pauses so the pieces arrive as separate reads); every replay must give the
// same deltas and response. Returns the first run.
inline StreamRun replayAtRandomChunkings(HttpTestServer& server, LLMProvider& provider, const std::string& sse,
                                         const std::vector<ToolSchema>& tools = {}, int rounds = 3,
                                         unsigned seed = 7) {
    std::mt19937 rng(seed);
    StreamRun first;
    for (int round = 0; round <= rounds; ++round) {
        ScriptedResponse answer = ScriptedResponse::sse(sse);
        if (round > 0) {
            std::vector<size_t> cuts;
            for (size_t i = 1; i < sse.size(); ++i)
                if (rng() % 23 == 0) cuts.push_back(i);
            answer.splitAt(cuts, std::chrono::milliseconds(1));
        }
        server.enqueue(answer);
        StreamRun run = runStream(provider, userSays("hi"), tools);
        if (round == 0) {
            first = run;
            continue;
        }
        EXPECT_EQ(run.deltas, first.deltas) << "chunking round " << round;
        EXPECT_EQ(run.response.content, first.response.content);
        EXPECT_EQ(run.response.toolCalls, first.response.toolCalls);
        EXPECT_EQ(run.response.stopReason, first.response.stopReason);
        EXPECT_EQ(run.response.usage, first.response.usage);
    }
    return first;
}

// The request body as JSON (an empty object when it is not JSON).
inline json::Value bodyOf(const RecordedRequest& request) {
    return json::parse(request.body).value_or(json::Value::object());
}

// Builds an SSE body of "data: <json>" events.
inline std::string dataEvents(const std::vector<std::string>& payloads) {
    std::string out;
    for (const auto& p : payloads) out += "data: " + p + "\n\n";
    return out;
}

} // namespace vivirov::test
