// The cost of a generated token on its way from the engine's request hook
// through the gateway and the agent scheduler to a job's onToken, beside the
// same scaffold engine delivering to a bare hook that only counts. One
// iteration runs 12 requests of 32 tokens to their end. The work is spread
// over the engine's, the scheduler's and the pool's threads, and the wall
// time is mostly the engine's own pacing: each iteration's time is the
// process's CPU time, so the ratio is the CPU cost per token.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <time.h>

#include "VivirovKit/Scheduler/AgentScheduler.h"
#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"
#include "bench/guards_ratio_reporter.h"
#include "engine/include/vm_engine_v2.h"

namespace {

constexpr int kRequests = 12;
constexpr int kTokensPerRequest = 32;

double processCPUSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Finish {
    std::mutex mu;
    std::condition_variable cv;
    int left = 0;
    void reset(int n) {
        std::lock_guard lock(mu);
        left = n;
    }
    void one() {
        std::lock_guard lock(mu);
        if (--left == 0) cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return left == 0; });
    }
};

struct BareCtx {
    std::atomic<uint64_t> tokens{0};
    Finish finish;
    static void hook(uint32_t, int32_t token, bool final, void* ctx) {
        auto* self = static_cast<BareCtx*>(ctx);
        if (token != -1) self->tokens.fetch_add(1, std::memory_order_relaxed);
        if (final) self->finish.one();
    }
};

void bareHook(benchmark::State& state) {
    EngineWrapper* w = vivirov_vm_v2_create("scaffold://no-model");
    BareCtx ctx;
    uint32_t agent = 0;
    for (auto _ : state) {
        const double t0 = processCPUSeconds();
        ctx.finish.reset(kRequests);
        for (int r = 0; r < kRequests; ++r) {
            const uint32_t id = uint32_t(r);
            vivirov_vm_v2_infer_async(w, ++agent, &id, 1, &BareCtx::hook, &ctx);
        }
        ctx.finish.wait();
        state.SetIterationTime(processCPUSeconds() - t0);
    }
    vivirov_vm_v2_destroy(w);
    state.SetItemsProcessed(state.iterations() * kRequests * kTokensPerRequest);
}

void gatewayToJob(benchmark::State& state) {
    auto gateway = std::make_shared<vivirov::VMEngineGateway>("scaffold://no-model");
    vivirov::AgentScheduler scheduler(kRequests, gateway);
    std::atomic<uint64_t> tokens{0};
    Finish finish;
    for (auto _ : state) {
        const double t0 = processCPUSeconds();
        finish.reset(kRequests);
        for (int r = 0; r < kRequests; ++r) {
            vivirov::AgentScheduler::AgentJob job;
            job.agentID = scheduler.mintAgentID();
            job.prompt = {uint32_t(r)};
            job.lane = vivirov::AgentScheduler::Lane::background;
            job.onToken = [&](uint32_t) { tokens.fetch_add(1, std::memory_order_relaxed); };
            job.onDone = [&] { finish.one(); };
            scheduler.enqueue(std::move(job));
        }
        finish.wait();
        state.SetIterationTime(processCPUSeconds() - t0);
    }
    state.SetItemsProcessed(state.iterations() * kRequests * kTokensPerRequest);
}

BENCHMARK(gatewayToJob)->Name("gateway_token_path/measured")->UseManualTime()->MinTime(0.5);
BENCHMARK(bareHook)->Name("gateway_token_path/baseline")->UseManualTime()->MinTime(0.5);

} // namespace

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv, true); }
