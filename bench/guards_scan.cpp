// Artifact extraction runs on the whole growing answer at every drain (up to
// 120 times a second) and the fabrication guard once per finished reply; both
// must stay close to a bare pass over the same text.
#include <string>

#include "VivirovKit/Agentic/ArtifactEngine.h"
#include "VivirovKit/Agentic/FabricationGuard.h"
#include "VivirovKit/Support/Regex.h"
#include "guards_ratio_reporter.h"

namespace {

// About 200 KB of answer: prose, a few closed blocks and an open HTML block
// that is still growing.
std::string streamingAnswer() {
    std::string text;
    const std::string prose =
        "Here is the next part of the plan, with the component and its styles explained.\n";
    for (int block = 0; block < 4; ++block) {
        for (int i = 0; i < 200; ++i) text += prose;
        text += "```jsx\n// Part " + std::to_string(block) + "\nfunction Card() {\n";
        for (int i = 0; i < 200; ++i) text += "  const row = items.map((x) => <li key={x}>{x}</li>);\n";
        text += "}\n```\n";
    }
    text += "```html\n<title>Live page</title>\n";
    while (text.size() < 200 * 1024) text += "<p>streaming paragraph with some words</p>\n";
    return text;
}

// About 100 KB of a catalogue reply with prices, counts and codes, half of
// them backed by tool results.
std::string catalogueReply() {
    std::string text;
    for (int i = 0; text.size() < 100 * 1024; ++i) {
        const std::string n = std::to_string(1000 + i);
        if (i % 2 == 0) text += "<tool_result>{\"sku\":\"KT-" + n + "\",\"price\":" + n + "}</tool_result>\n";
        text += "The KT-" + n + " kettle costs \u20b9" + n + ".00 and 12 units are in stock. ";
        text += "It ships with a READ-ONLY manual and WI-FI pairing.\n";
    }
    return text;
}

void extractBaseline(benchmark::State& state) {
    const std::string text = streamingAnswer();
    for (auto _ : state) {
        // The least any extraction must do: find every fence and copy the
        // blocks out of the text (here, the whole text once).
        size_t fences = 0;
        for (size_t at = text.find("```"); at != std::string::npos; at = text.find("```", at + 3))
            ++fences;
        std::string copy = text;
        benchmark::DoNotOptimize(fences);
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void extractMeasured(benchmark::State& state) {
    const std::string text = streamingAnswer();
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::ArtifactEngine::current(text, true));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void scanBaseline(benchmark::State& state) {
    const std::string text = catalogueReply();
    const vivirov::Regex price(R"((?:₹|Rs\.?\s?|INR\s?)\s?\d[\d,]*(?:\.\d+)?)",
                               vivirov::Regex::CaseInsensitive);
    // The bare library loop: one ICU pass of one of the guard's patterns.
    for (auto _ : state) benchmark::DoNotOptimize(price.allMatches(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void scanMeasured(benchmark::State& state) {
    const std::string text = catalogueReply();
    for (auto _ : state) benchmark::DoNotOptimize(vivirov::FabricationGuard::scan(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(extractBaseline)->Name("artifact/baseline/200KB")->Unit(benchmark::kMicrosecond);
BENCHMARK(extractMeasured)->Name("artifact/measured/200KB")->Unit(benchmark::kMicrosecond);
BENCHMARK(scanBaseline)->Name("fabrication/baseline/100KB")->Unit(benchmark::kMicrosecond);
BENCHMARK(scanMeasured)->Name("fabrication/measured/100KB")->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv); }
