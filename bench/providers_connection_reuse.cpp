// One streamed chat round trip to a loopback server through the shared
// session (the connection is kept and reused) beside the same round trip on
// a fresh connection each time, measured in the same run. On loopback the
// gap is the TCP set-up; against a cloud host a TLS handshake adds 100-300 ms
// per round, which reuse saves. "connections/call" should be near 0 for the
// shared session and 1 for the baseline.
#include <benchmark/benchmark.h>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/LLMProviderSupport.h"
// The test fixture server is compiled in here: benchmarks link no test code.
#include "tests/support/HttpTestServer.cpp"

using namespace vivirov;
using vivirov::test::HttpTestServer;
using vivirov::test::ScriptedResponse;

namespace {

const std::string kStream = "data: {\"choices\":[{\"delta\":{\"content\":\"hi\"}}]}\n\ndata: [DONE]\n\n";

HTTPRequest chatRequest(const HttpTestServer& server) {
    HTTPRequest r;
    r.method = "POST";
    r.url = server.baseURL() + "/v1/chat/completions";
    r.headers = {{"Content-Type", "application/json"}};
    r.body = R"({"model":"m","stream":true,"messages":[{"role":"user","content":"hi"}]})";
    return r;
}

void BM_RoundTrip_SharedSession(benchmark::State& state) {
    HttpTestServer server;
    server.setHandler([](const test::RecordedRequest&) { return ScriptedResponse::sse(kStream); });
    HTTPRequest request = chatRequest(server);
    for (auto _ : state) {
        size_t lines = 0;
        LLMProviderSupport::streamLines(request, {}, [&](std::string_view) { return ++lines > 0; });
        benchmark::DoNotOptimize(lines);
    }
    state.counters["connections/call"] = double(server.acceptedConnections()) / double(state.iterations());
}

void BM_RoundTrip_NewConnectionEach(benchmark::State& state) {
    HttpTestServer server;
    server.setHandler([](const test::RecordedRequest&) { return ScriptedResponse::sse(kStream); });
    HTTPRequest request = chatRequest(server);
    for (auto _ : state) {
        HTTPSession fresh;
        size_t bytes = 0;
        fresh.perform(request, {}, nullptr, [&](std::string_view b) { bytes += b.size(); return true; });
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["connections/call"] = double(server.acceptedConnections()) / double(state.iterations());
}

} // namespace

BENCHMARK(BM_RoundTrip_SharedSession)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RoundTrip_NewConnectionEach)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
