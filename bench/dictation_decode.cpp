// Decodes ten seconds of synthesised speech with the dictation recogniser
// (the installed US English model, no grammar), fed in 1024-frame blocks
// as the microphone delivers them. Reports CPU seconds per second of audio;
// target: at most 0.5, so dictation keeps up on a loaded machine.
#include <benchmark/benchmark.h>

#include "VivirovVizivurad/Dictation/PocketSphinxRecognizer.h"
#include "tests/Dictation/SpokenAudio.h"

using namespace vivirov;

namespace {

std::vector<int16_t> tenSeconds() {
    std::vector<int16_t> samples = test::spoken(
        "please open the file called notes and read the second paragraph aloud then close the window and "
        "tell me what the weather will be like tomorrow morning in the city",
        0.2);
    samples.resize(10 * SpeechRecognizer::sampleRate, 0);
    return samples;
}

void Decode10s(benchmark::State& state) {
    static const std::vector<int16_t> samples = tenSeconds();
    auto recognizer = PocketSphinxRecognizer::create();
    if (!recognizer || samples.empty()) {
        state.SkipWithError("no speech model or no espeak-ng");
        return;
    }
    for (auto _ : state) {
        recognizer->begin();
        for (size_t at = 0; at < samples.size(); at += 1024) {
            const size_t n = std::min<size_t>(1024, samples.size() - at);
            const auto result = recognizer->feed(std::span<const int16_t>(samples.data() + at, n));
            // A pause ends an utterance; the next one starts at once, so all ten seconds are decoded.
            if (result && result->isFinal) recognizer->begin();
        }
        benchmark::DoNotOptimize(recognizer->finish());
    }
    state.counters["cpu_s_per_audio_s"] =
        benchmark::Counter(double(state.iterations()) * 10.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(Decode10s)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_MAIN();
