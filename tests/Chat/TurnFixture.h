#pragma once
// A controller over fake services whose active provider is a real client
// talking to a loopback server that speaks OpenAI-style server-sent events,
// and whose graph plays a scripted recall.
#include <gtest/gtest.h>

#include <QObject>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "VivirovKit/Support/Json.h"
#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Chat/QuintoraViewModel.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/EngineHost/VizivuradEngine.h"
#include "tests/Chat/FakeServices.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/QtHarness.h"
#include "tests/support/ScopedEnv.h"

namespace vivirov::test {

// Answers relatedIDs with `ids` once the test opens it (open at start).
class ScriptedGraph final : public GraphContext {
public:
    std::vector<uint32_t> ids;
    std::map<uint32_t, std::string> titles;

    std::vector<uint32_t> relatedIDs(const std::string& query, int k, int max) override {
        std::unique_lock lock(mutex_);
        queries_.push_back(query + "|" + std::to_string(k) + "|" + std::to_string(max));
        opened_.wait(lock, [&] { return open_; });
        return ids;
    }
    std::optional<std::string> nodeTitle(uint32_t id) const override {
        auto it = titles.find(id);
        return it == titles.end() ? std::nullopt : std::optional(it->second);
    }
    void hold() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    std::vector<std::string> queries() {
        std::lock_guard lock(mutex_);
        return queries_;
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = true;
    std::vector<std::string> queries_;
};

class GraphServices : public FakeServices {
public:
    using FakeServices::FakeServices;
    ScriptedGraph* graph = nullptr;
    std::unique_ptr<GraphContext> makeGraph() override {
        auto made = std::make_unique<ScriptedGraph>();
        graph = made.get();
        return made;
    }
};

inline std::string sseContent(const std::string& text) {
    return R"({"choices":[{"delta":{"content":)" + json::dump(text) + "}}]}";
}
inline std::string sseReasoning(const std::string& text) {
    return R"({"choices":[{"delta":{"reasoning_content":)" + json::dump(text) + "}}]}";
}
inline std::string sseToolCall(int index, const std::string& id, const std::string& name, const std::string& args) {
    return R"({"choices":[{"delta":{"tool_calls":[{"index":)" + std::to_string(index) + R"(,"id":")" + id +
           R"(","type":"function","function":{"name":")" + name + R"(","arguments":)" + json::dump(args) + "}}]}}]}";
}
inline std::string sseFinish(const std::string& reason, int prompt, int completion) {
    return R"({"choices":[{"delta":{},"finish_reason":")" + reason + R"("}],"usage":{"prompt_tokens":)" +
           std::to_string(prompt) + R"(,"completion_tokens":)" + std::to_string(completion) + "}}";
}
inline ScriptedResponse sseStream(const std::vector<std::string>& payloads) {
    std::string body;
    for (const auto& p : payloads) body += "data: " + p + "\n\n";
    return ScriptedResponse::sse(body + "data: [DONE]\n\n");
}

// The pillar's rows as "user:…", "assistant:…" and "tool:<name>=<result>".
inline std::vector<std::string> rowTexts(const PillarContext& pillar) {
    std::vector<std::string> out;
    for (const auto& m : pillar.messages()) {
        if (m.role == Role::toolCall)
            out.push_back("tool:" + m.toolName.value_or("?") + "=" + m.toolResult.value_or("(running)"));
        else
            out.push_back(std::string(m.role == Role::user ? "user:" : "assistant:") + m.content);
    }
    return out;
}

class TurnFixture : public ::testing::Test {
protected:
    TurnFixture() {
        qtApp();
        AgentActivityModel::shared();
        SwarmOrchestrator::shared();
        VizivuradEngine::shared();
        env.set("HOME", dir.path())
            .set("VIVIROV_HW_PROFILE", "16g")
            .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent")
            .set("VIVIROV_PROVIDER", "openai-compat")
            .set("VIVIROV_RIZERU_BASE_URL", server.baseURL())
            .set("RIZERU_ROZAZU_URL", server.baseURL() + "/v1")
            .set("VIVIROV_ENABLE_ROZAZU", "1")
            .set("VIVIROV_COMPAT_BASE_URL", server.baseURL() + "/v1")
            .set("VIVIROV_SHOW_LEGACY_ENGINES", "1")
            .set("VIVIROV_DEFAULT_ASK", std::nullopt)
            .set("VIVIROV_THINKING", std::nullopt);
        // Health probes get an empty success; model turns take the queue.
        server.setHandler([this](const RecordedRequest& request) {
            if (request.path().find("chat/completions") == std::string::npos)
                return ScriptedResponse::json(200, "{}");
            std::lock_guard lock(mutex_);
            if (turns_.empty()) return ScriptedResponse::json(500, R"({"error":"script exhausted"})");
            auto next = turns_.front();
            turns_.pop_front();
            return next;
        });
        events_ = QObject::connect(&AgentActivityModel::shared(), &AgentActivityModel::eventFed,
                                   [this](const AgentEvent& e) { events.push_back(e); });
    }
    ~TurnFixture() override { QObject::disconnect(events_); }

    void enqueue(ScriptedResponse response) {
        std::lock_guard lock(mutex_);
        turns_.push_back(std::move(response));
    }

    QuintoraViewModel& build(std::vector<std::string> hostScript = {"ready"}) {
        services = std::make_unique<GraphServices>(dir, std::move(hostScript));
        std::thread([&] { services->prepare(); }).join();
        vm = std::make_unique<QuintoraViewModel>(*services);
        return *vm;
    }

    // The chat bodies the server received, as sent.
    std::vector<json::Value> chatRequests() const {
        std::vector<json::Value> out;
        for (const auto& r : server.requests())
            if (r.path().find("chat/completions") != std::string::npos) out.push_back(json::parse(r.body).value_or(json::Value::object()));
        return out;
    }

    bool turnEnded(PillarContext& pillar) {
        return qtWaitUntil([&] { return !pillar.isStreaming(); });
    }

    // Saved rows of the pillar's conversation as "role:content".
    std::vector<std::string> stored(PillarContext& pillar) {
        pillar.waitForSaves();
        std::vector<std::string> out;
        for (const auto& m : services->store().messages(*pillar.activeConversationID()))
            out.push_back(m.role + ":" + m.content);
        return out;
    }

    ScopedEnv env;
    TempDir dir;
    HttpTestServer server;
    std::vector<AgentEvent> events;
    std::unique_ptr<GraphServices> services;
    std::unique_ptr<QuintoraViewModel> vm;

private:
    std::mutex mutex_;
    std::deque<ScriptedResponse> turns_;
    QMetaObject::Connection events_;
};

} // namespace vivirov::test
