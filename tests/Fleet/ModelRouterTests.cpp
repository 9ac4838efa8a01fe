#include <gtest/gtest.h>

#include "VivirovKit/Fleet/LocalServerPorts.h"
#include "VivirovKit/Fleet/ModelRouter.h"
#include "tests/Fleet/FakeServerProcess.h"
#include "tests/support/HttpTestServer.h"

namespace vivirov {
namespace {

using test::HttpTestServer;
using test::ScriptedResponse;

std::map<int, int> ownFleetPorts() {
    std::map<int, int> ports;
    for (const auto& server : ModelRouter::fleet()) ports[server.port] = test::freeLoopbackPort();
    return ports;
}

const ModelRoute kRoutesWithNothingUp[] = {
    {"rizeru-local", "http://127.0.0.1:8080", "rizeru-qwen3.6-27b", false, "Primary Vivirov brain"},
    {"rizeru-rozazu", "http://127.0.0.1:8095", "rozazu-rizeru-27b", false, "Rozazu DOWN — fall back to rizeru-local"},
    {"micro", "http://127.0.0.1:8100", "micro-qwen3.5-0.8b", false, "Micro DOWN"},
    {"qwen-vl", "http://127.0.0.1:8081", "qwen2.5-vl-7b", false,
     "NOT DEPLOYED — no Qwen2.5-VL on :8081. Download + start server first."},
    {"whisper", "http://127.0.0.1:8082", "whisper-large-v3", false,
     "NOT DEPLOYED — use built-in DictationController (PocketSphinx) in UI mic button."},
    {"document-tools", "local", "pandoc+pdftotext", true, "Native Linux document tools (no extra model)"},
    {"image-gen", "none", "none", false,
     "OUT OF SCOPE per Dudive permanent rule (2026-05-19): no ComfyUI/LoRA/local SD on lab GPUs. Use Nano Banana / "
     "external path only if Dovrel enables."},
};
const ModelRouteKind kKinds[] = {ModelRouteKind::general, ModelRouteKind::consensus, ModelRouteKind::fastDraft,
                                 ModelRouteKind::vision,  ModelRouteKind::audio,     ModelRouteKind::document,
                                 ModelRouteKind::imageGen};

TEST(ModelRouter, RoutesWithNoServerUp) {
    LocalServerPorts::ScopedOverride redirect(ownFleetPorts());
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        SCOPED_TRACE(rawValue(kKinds[i]));
        EXPECT_EQ(ModelRouter::route(kKinds[i]), kRoutesWithNothingUp[i]);
    }
    const auto status = ModelRouter::fleetStatus();
    EXPECT_EQ(status.size(), 7u);
    for (const auto& server : ModelRouter::fleet()) EXPECT_EQ(status.at(server.key), false) << server.key;
}

TEST(ModelRouter, OnlyTheConsensusServerUp) {
    LocalServerPorts::ScopedOverride redirect(ownFleetPorts());
    test::FakeServerProcess rozazu(LocalServerPorts::resolve(8095), {});

    EXPECT_EQ(ModelRouter::route(ModelRouteKind::consensus),
              (ModelRoute{"rizeru-rozazu", "http://127.0.0.1:8095", "rozazu-rizeru-27b", true, "Rozazu multi-drafter"}));
    EXPECT_EQ(ModelRouter::route(ModelRouteKind::general), kRoutesWithNothingUp[0]);
    std::map<std::string, bool> expected;
    for (const auto& server : ModelRouter::fleet()) expected[server.key] = server.key == "rozazu:8095";
    EXPECT_EQ(ModelRouter::fleetStatus(), expected);
}

TEST(ModelRouter, ProbeReadsTheStatusAndSendsNothingForABadURL) {
    struct Case {
        const char* name;
        std::optional<ScriptedResponse> answer; // none: nothing may be sent
        std::string path;
        bool up;
    } cases[] = {
        {"ok", ScriptedResponse::json(200, "{}"), "/health", true},
        {"not found is up", ScriptedResponse::text(404, "no"), "/health", true},
        {"server error", ScriptedResponse::text(500, "boom"), "/health", false},
        {"unavailable", ScriptedResponse::text(503, "later"), "/health", false},
        {"silence past the wait", ScriptedResponse::neverAnswer(), "/health", false},
        {"empty text", std::nullopt, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer server;
        if (c.answer) server.enqueue(*c.answer);
        const std::string url = c.answer ? server.baseURL() + c.path : c.path;
        EXPECT_EQ(ModelRouter::probe(url), c.up);
        EXPECT_EQ(server.requestCount(), c.answer ? 1u : 0u);
    }
}

TEST(ModelRouteKind, RawValuesAreTheCaseNamesExactly) {
    for (ModelRouteKind kind : kKinds) EXPECT_EQ(modelRouteKindFromRaw(rawValue(kind)), kind);
    EXPECT_EQ(modelRouteKindFromRaw("fastDraft"), ModelRouteKind::fastDraft);
    for (const char* raw : {"fastdraft", "FastDraft", "fastDraft ", "", "image"})
        EXPECT_EQ(modelRouteKindFromRaw(raw), std::nullopt) << raw;
}

} // namespace
} // namespace vivirov
