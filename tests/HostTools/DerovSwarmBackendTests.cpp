#include <gtest/gtest.h>

#include "VivirovKit/Support/Json.h"
#include "VivirovVizivurad/HostTools/DerovSwarmBackend.h"
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/StderrCapture.h"

using namespace vivirov;
using test::HttpTestServer;
using test::ScriptedResponse;

TEST(DerovSwarmBackend, PostsTheQueryUntrimmedAndTheCountAsAnInteger) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::text(200, "done"));
    DerovSwarmBackend backend(server.port());
    test::StderrCapture captured;
    const std::string answer = backend.dispatchDerovSwarm("  map the market ", -3, {});

    EXPECT_EQ(answer, "swarm_dispatched successfully. Response:\ndone");
    EXPECT_NE(captured.text().find("[vivirov] dispatch_derov_swarm EXEC:   map the market  with -3 agents\n"),
              std::string::npos);
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/unleash_swarm");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    const auto body = json::parse(request.body);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->size(), 2u);
    EXPECT_EQ((*body)["query"], "  map the market ");
    ASSERT_TRUE((*body)["agent_count"].is_number_integer());
    EXPECT_EQ((*body)["agent_count"].get<int64_t>(), -3);
}

TEST(DerovSwarmBackend, CapsRepliesOnSuccessAndFailure) {
    HttpTestServer server;
    DerovSwarmBackend backend(server.port());
    std::string big(6000, 'a');
    big += std::string(4000, 'b');

    server.enqueue(ScriptedResponse::text(200, big));
    const std::string ok = backend.dispatchDerovSwarm("q", 10000, {});
    EXPECT_EQ(ok.substr(0, 40), "swarm_dispatched successfully. Response:");
    EXPECT_EQ(ok.find('b'), std::string::npos);
    EXPECT_EQ(ok, "swarm_dispatched successfully. Response:\n" + ToolExecutionManager::cap(big, 6000));

    // A failure page is capped too, so a large error page cannot flood the model.
    server.enqueue(ScriptedResponse::text(503, big));
    const std::string failed = backend.dispatchDerovSwarm("q", 10000, {});
    EXPECT_EQ(failed, "swarm_dispatched failed with HTTP 503: " + ToolExecutionManager::cap(big, 6000));
    EXPECT_EQ(failed.find('b'), std::string::npos);
}

TEST(DerovSwarmBackend, NothingListeningIsAnErrorText) {
    int port;
    {
        HttpTestServer closed;
        port = closed.port();
    }
    DerovSwarmBackend backend(port);
    const std::string answer = backend.dispatchDerovSwarm("q", 1, {});
    EXPECT_EQ(answer.rfind("swarm_dispatched error: ", 0), 0u) << answer;
    EXPECT_GT(answer.size(), std::string("swarm_dispatched error: ").size());
}
