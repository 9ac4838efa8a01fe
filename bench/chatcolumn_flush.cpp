// What one streamed flush costs the GUI thread in the chat list: the pillar
// appends to the answer row, the list model publishes the frame's change and
// the list redraws the answer and follows the end. With 300 messages above
// the answer it must cost about what it costs with the answer alone.
#include <QApplication>

#include <memory>
#include <string>

#include "VivirovVizivurad/Chat/PillarContext.h"
#include "VivirovVizivurad/ChatColumn/ReduceMotion.h"
#include "VivirovVizivurad/ChatColumn/TranscriptModel.h"
#include "VivirovVizivurad/ChatColumn/TranscriptView.h"
#include "VivirovVizivurad/Dashboards/AgentActivityModel.h"
#include "VivirovVizivurad/Dashboards/SwarmOrchestrator.h"
#include "VivirovVizivurad/Store/DatabaseManager.h"
#include "bench/guards_ratio_reporter.h"
#include "bench/store_bench_support.h"

namespace {

using namespace vivirov;

struct Scratch {
    bench::ScratchDir dir;
    std::unique_ptr<DatabaseManager> db = std::make_unique<DatabaseManager>(dir.path + "/vivirov.sqlite");
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

void flush(benchmark::State& state, int earlier) {
    SwarmOrchestrator swarm;
    AgentActivityModel activity;
    PillarContext pillar(ConversationKind::chat, *scratch().db, &swarm, &activity);
    std::vector<ChatMessage> rows;
    for (int i = 0; i < earlier; ++i) {
        ChatMessage m;
        m.id = UUID::random();
        m.role = i % 2 ? Role::assistant : Role::user;
        m.content = "An earlier message with **some** Markdown, `code` and a few words (" + std::to_string(i) + ").";
        rows.push_back(m);
    }
    ChatMessage answer;
    answer.id = UUID::random();
    answer.role = Role::assistant;
    rows.push_back(answer);
    pillar.setMessages(rows);
    pillar.setStreaming(true);

    TranscriptModel model(pillar);
    TranscriptView view(model);
    view.resize(880, 640);
    view.show();
    QCoreApplication::processEvents();
    // The first flush builds the visible rows; only the steady state counts.
    pillar.append("Start. ", answer.id);
    model.flushNow();
    QCoreApplication::processEvents();

    int words = 0;
    for (auto _ : state) {
        pillar.append(++words % 12 == 0 ? "word.\n\n" : "word ", answer.id);
        model.flushNow();
        // Layout and painting of what changed, as the next frame would do.
        QCoreApplication::sendPostedEvents();
        view.viewport()->repaint();
    }
    state.counters["built_rows"] = view.builtRowCount();
}

void Flush_measured(benchmark::State& state) { flush(state, 300); }
void Flush_baseline(benchmark::State& state) { flush(state, 0); }

} // namespace

// Equal iterations, so both answers grow to the same length.
BENCHMARK(Flush_measured)->Name("stream_flush/measured_300_messages")->Iterations(3000);
BENCHMARK(Flush_baseline)->Name("stream_flush/baseline_300_messages")->Iterations(3000);

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    vivirov::ReduceMotion::force(true);
    return vivirov::bench::runWithRatios(argc, argv);
}
