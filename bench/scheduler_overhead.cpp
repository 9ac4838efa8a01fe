// Scheduling overhead per job: from enqueue to the job's first token on an
// engine that answers at once, with 1, 12 and 200 jobs queued before the
// engine arrives. The baseline, measured in the same iteration, hands the
// same jobs straight to the engine; the ratio of the two is the figure.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "VivirovKit/Scheduler/AgentScheduler.h"

using namespace vivirov;
using Steady = std::chrono::steady_clock;

namespace {

// Delivers the first prompt token and completes inside submit.
class InstantEngine : public EngineDispatching {
public:
    using EngineDispatching::submit;
    bool submit(uint32_t, const std::vector<uint32_t>& prompt, OnToken onToken, Callback, Callback onDone) override {
        onToken(prompt.front());
        onDone();
        return true;
    }
    bool pause(uint32_t) override { return false; }
    bool resume(uint32_t) override { return false; }
};

AgentScheduler::AgentJob makeJob(uint32_t id, AgentScheduler::Lane lane, uint64_t* sink) {
    AgentScheduler::AgentJob job;
    job.agentID = id;
    job.prompt = {id, id + 1, id + 2};
    job.lane = lane;
    job.deadline = (uint64_t(id) * 2654435761u) % 1'000'000; // scattered deadlines exercise the heap
    job.onToken = [sink](uint32_t token) { *sink += token; };
    job.onDone = [sink] { ++*sink; };
    return job;
}

void BM_SchedulerOverhead(benchmark::State& state) {
    const int jobs = int(state.range(0));
    const auto lane = state.range(1) ? AgentScheduler::Lane::background : AgentScheduler::Lane::user;
    auto engine = std::make_shared<InstantEngine>();
    uint64_t sink = 0;
    double schedulerNanos = 0, baselineNanos = 0;

    for (auto _ : state) {
        // Baseline: the same jobs, built the same way, straight to the engine.
        auto start = Steady::now();
        for (int i = 0; i < jobs; ++i) {
            auto job = makeJob(uint32_t(i + 1), lane, &sink);
            engine->submit(job.agentID, job.prompt, job.onToken, [] {}, job.onDone);
        }
        baselineNanos += std::chrono::duration<double, std::nano>(Steady::now() - start).count();

        AgentScheduler scheduler(12);
        start = Steady::now();
        for (int i = 0; i < jobs; ++i) scheduler.enqueue(makeJob(uint32_t(i + 1), lane, &sink));
        scheduler.setEngine(engine);
        const auto elapsed = std::chrono::duration<double>(Steady::now() - start).count();
        schedulerNanos += elapsed * 1e9;
        state.SetIterationTime(elapsed);
    }
    benchmark::DoNotOptimize(sink);
    const double perJob = double(state.iterations()) * jobs;
    state.counters["sched_ns_per_job"] = schedulerNanos / perJob;
    state.counters["baseline_ns_per_job"] = baselineNanos / perJob;
    state.counters["ratio"] = schedulerNanos / baselineNanos;
    state.SetItemsProcessed(int64_t(perJob));
}

} // namespace

BENCHMARK(BM_SchedulerOverhead)
    ->ArgNames({"queued", "background"})
    ->ArgsProduct({{1, 12, 200}, {0, 1}})
    ->UseManualTime();

BENCHMARK_MAIN();
