// The pillar's drain and its coalescer must cost the same whatever the
// transcript, the target row or the buffer already hold: a smooth tick on a
// 10,000-row transcript with a 200 KB answer row beside a tick on a one-row
// transcript, and an append to a coalescer holding 1 MB beside one to an
// empty coalescer.
#include <QCoreApplication>

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "bench/guards_ratio_reporter.h"

namespace {

using namespace vivirov;

struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/chat-drain-XXXXXX";
        dir = mkdtemp(pattern);
        db = std::make_unique<DatabaseManager>(dir + "/vivirov.sqlite");
    }
    ~Scratch() {
        db.reset();
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    std::unique_ptr<DatabaseManager> db;
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

void tick(benchmark::State& state, int rows, size_t answerBytes) {
    SwarmOrchestrator swarm;
    AgentActivityModel activity;
    PillarContext pillar(ConversationKind::chat, *scratch().db, &swarm, &activity);
    std::vector<ChatMessage> transcript(rows);
    for (int i = 0; i < rows; ++i) {
        transcript[i].id = UUID::random();
        transcript[i].role = i % 2 ? Role::assistant : Role::user;
        transcript[i].content = std::string(100, 'x');
    }
    transcript.back().role = Role::assistant;
    transcript.back().content = std::string(answerBytes, 'y');
    const UUID target = transcript.back().id;
    pillar.setMessages(std::move(transcript));
    const int epoch = pillar.startStream(target);

    for (auto _ : state) {
        pillar.coalescer().append("abcd", epoch);
        pillar.drain(true);
    }
    pillar.endTurn();
}

void DrainTick_measured(benchmark::State& state) { tick(state, 10'000, 200'000); }
void DrainTick_baseline(benchmark::State& state) { tick(state, 1, 0); }

void append(benchmark::State& state, size_t heldBytes) {
    StreamCoalescer coalescer;
    const std::string held(heldBytes, 'z');
    const UUID target = UUID::random();
    auto refill = [&] {
        coalescer.begin(target, 1);
        coalescer.append(held, 1);
    };
    refill();
    const std::string piece = "sixteen bytes ok";
    size_t appended = 0;
    for (auto _ : state) {
        coalescer.append(piece, 1);
        if (++appended % 65536 == 0) { // keep the buffer at its size
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
    }
}

void CoalescerAppend_measured(benchmark::State& state) { append(state, 1 << 20); }
void CoalescerAppend_baseline(benchmark::State& state) { append(state, 0); }

} // namespace

BENCHMARK(DrainTick_measured)->Name("drain_tick/measured_10000_rows_200KB_row");
BENCHMARK(DrainTick_baseline)->Name("drain_tick/baseline_10000_rows_200KB_row");
BENCHMARK(CoalescerAppend_measured)->Name("coalescer_append/measured_1MB_held");
BENCHMARK(CoalescerAppend_baseline)->Name("coalescer_append/baseline_1MB_held");

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return vivirov::bench::runWithRatios(argc, argv);
}
