#include <gtest/gtest.h>

#include <deque>
#include <mutex>

#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovVizivurad/HostTools/LocalResearchSwarm.h"
#include "tests/support/HttpTestServer.h"

using namespace vivirov;
using test::HttpTestServer;
using test::RecordedRequest;
using test::ScriptedResponse;

namespace {

std::string completion(const std::string& content) {
    return json::dump(json::Value{{"choices", json::Value::array({{{"message", {{"content", content}}}}})}});
}

// The angle a request asks about, from its prompt.
std::string angleOf(const RecordedRequest& request) {
    const auto body = json::parse(request.body);
    const std::string prompt = (*body)["messages"][0]["content"];
    const size_t open = prompt.find('['), close = prompt.find(']');
    return prompt.substr(open + 1, close - open - 1);
}

// Two local chat servers in place of 8095 and 8080. The multi-drafter one
// answers its health probe only when `drafterHealthy`.
struct Servers {
    HttpTestServer drafter, direct;
    LocalServerPorts::ScopedOverride ports{{{8095, drafter.port()}, {8080, direct.port()}}};
    bool drafterHealthy = true;
    std::mutex mutex;
    std::deque<std::optional<double>> readings; // swap readings handed out in order

    Servers() {
        auto answer = [this](const RecordedRequest& request) {
            if (request.path() == "/health")
                return ScriptedResponse::text(drafterHealthy ? 200 : 503, "ok");
            return ScriptedResponse::json(200, completion("<think>\nplan\n</think>\n answer about " + angleOf(request) + " "));
        };
        drafter.setHandler(answer);
        direct.setHandler(answer);
    }

    LocalResearchSwarm::Environment environment() {
        auto env = LocalResearchSwarm::Environment::live();
        env.usedSwapMB = [this]() -> std::optional<double> {
            std::lock_guard lock(mutex);
            if (readings.empty()) return std::nullopt;
            auto r = readings.front();
            if (readings.size() > 1) readings.pop_front();
            return r;
        };
        return env;
    }

    std::vector<RecordedRequest> completions(HttpTestServer& server) {
        std::vector<RecordedRequest> out;
        for (auto& r : server.requests())
            if (r.path() == "/v1/chat/completions") out.push_back(r);
        return out;
    }
};

} // namespace

TEST(LocalResearchSwarm, HealthyDrafterTakesPortModelAndLabel) {
    for (bool healthy : {true, false}) {
        Servers servers;
        servers.drafterHealthy = healthy;
        servers.readings = {3000.0};
        const std::string report = LocalResearchSwarm(servers.environment()).runResearchSwarm("  solar panels \n", "history", {});

        EXPECT_EQ(report, std::string("swarm: 1 perspectives via ") + (healthy ? "rozazu" : "rizeru-direct") +
                              " parallel=false swap_used_mb=3000 pressure=ok\n\n### history\nanswer about history");
        auto used = servers.completions(healthy ? servers.drafter : servers.direct);
        EXPECT_TRUE(servers.completions(healthy ? servers.direct : servers.drafter).empty());
        ASSERT_EQ(used.size(), 1u);
        const auto body = json::parse(used[0].body);
        ASSERT_TRUE(body);
        EXPECT_EQ((*body)["model"], healthy ? "rozazu-rizeru-27b" : "rizeru-qwen3.6-27b");
        EXPECT_EQ((*body)["messages"][0]["role"], "user");
        EXPECT_EQ((*body)["messages"][0]["content"],
                  "In 80 words max, research angle [history] for: solar panels. Facts only, no preamble.");
        EXPECT_EQ((*body)["max_tokens"], 200);
        EXPECT_EQ((*body)["temperature"], 0.3);
        EXPECT_EQ((*body)["stream"], false);
        EXPECT_EQ((*body)["chat_template_kwargs"], (json::Value{{"enable_thinking", false}}));
        EXPECT_EQ(used[0].header("Content-Type"), "application/json");
    }
}

TEST(LocalResearchSwarm, SwapReadingsNarrowThePass) {
    struct Case {
        std::deque<std::optional<double>> readings;
        size_t sections;
        bool parallel;
    };
    const std::vector<Case> cases = {
        {{std::nullopt}, 4, true},
        {{3000.0}, 4, true},
        {{5000.0}, 2, true},
        {{3000.0, 3000.0, 7000.0}, 4, false}, // parallelism read last
        {{5000.0, 7000.0}, 1, false},         // pressure rising between readings
    };
    for (const auto& c : cases) {
        Servers servers;
        servers.readings = c.readings;
        const std::string report = LocalResearchSwarm(servers.environment()).runResearchSwarm("q", "a, b ,\tc,d,e,f", {});
        EXPECT_EQ(servers.completions(servers.drafter).size(), c.sections) << report;
        EXPECT_NE(report.find(c.parallel ? "parallel=true" : "parallel=false"), std::string::npos) << report;
        size_t sections = 0;
        for (size_t at = report.find("\n\n### "); at != std::string::npos; at = report.find("\n\n### ", at + 1)) ++sections;
        EXPECT_EQ(sections, c.sections) << report;
    }

    Servers refused;
    refused.readings = {7000.0};
    EXPECT_EQ(LocalResearchSwarm(refused.environment()).runResearchSwarm("q", "", {}),
              "error: swap pressure critical (swap_used_mb=7000 pressure=critical). research_swarm disabled. "
              "Answer without swarm or free RAM first.");
    EXPECT_EQ(refused.drafter.requestCount() + refused.direct.requestCount(), 0u);
    EXPECT_EQ(LocalResearchSwarm(refused.environment()).runResearchSwarm(" \n\t", "", {}), "error: empty query");
}

TEST(LocalResearchSwarm, SerialKeepsAngleOrderParallelFollowsCompletion) {
    Servers serial;
    serial.readings = {1000.0, 1000.0, 7000.0};
    const std::string ordered = LocalResearchSwarm(serial.environment()).runResearchSwarm("q", "", {});
    EXPECT_LT(ordered.find("### history"), ordered.find("### market"));
    EXPECT_LT(ordered.find("### market"), ordered.find("### risks"));

    // "slow" answers only after the "fast" angle's connection is gone, i.e.
    // after its answer was read whole.
    Servers parallel;
    parallel.readings = {1000.0};
    parallel.drafterHealthy = false; // the direct server then sees no probe connection
    parallel.direct.setHandler([&](const RecordedRequest& request) {
        const std::string angle = angleOf(request);
        if (angle == "slow") {
            parallel.direct.waitForClientCloses(1);
            return ScriptedResponse::json(200, completion("late")).splitAt({0}, std::chrono::milliseconds(100));
        }
        return ScriptedResponse::json(200, completion("early"));
    });
    const std::string report = LocalResearchSwarm(parallel.environment()).runResearchSwarm("q", "slow,fast", {});
    EXPECT_EQ(report.substr(report.find("\n\n")),
              "\n\n### fast\nearly\n\n### slow\nlate");
}

TEST(LocalResearchSwarm, AnswerFromBody) {
    struct Case {
        std::string body;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {completion("<THINK>a\nb</think>\n\n fact one <think>x</think> two\n"), "fact one two"},
        {R"({"error":{"message":"model not loaded"}})", "error: bad response"},
        {R"({"choices":[]})", "error: bad response"},
        {R"({"choices":[{"message":{"content":7}}]})", "error: bad response"},
        {R"([1,2])", "error: bad response"},
    };
    for (const auto& c : cases) EXPECT_EQ(LocalResearchSwarm::answerFromBody(c.body), c.answer) << c.body;
    EXPECT_EQ(LocalResearchSwarm::answerFromBody("<html>").rfind("error: ", 0), 0u);
    EXPECT_NE(LocalResearchSwarm::answerFromBody("<html>"), "error: bad response");
}

TEST(LocalResearchSwarm, Angles) {
    EXPECT_EQ(LocalResearchSwarm::angles(" , ,history , ,"), std::vector<std::string>{"history"});
    EXPECT_EQ(LocalResearchSwarm::angles(""), (std::vector<std::string>{"history", "market", "risks"}));
    EXPECT_EQ(LocalResearchSwarm::angles("a\n,\tb"), (std::vector<std::string>{"a\n", "b"}));
}
