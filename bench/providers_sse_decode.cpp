// Decode throughput of long recorded-style SSE streams through the real line
// splitter and each protocol's decoder, next to baselines measured in the
// same run: the same bytes merely split into lines, and the JSON parse of the
// same payloads alone. The ratios are what count; the target is a decoder
// well above network rates (over 100 MB/s on one core).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "VivirovKit/Providers/AnthropicStreamDecoder.h"
#include "VivirovKit/Providers/GeminiStreamDecoder.h"
#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Providers/LineSplitter.h"
#include "VivirovKit/Providers/OpenAIStreamDecoder.h"
#include "VivirovKit/Support/Json.h"

using namespace vivirov;

namespace {

constexpr int kEvents = 20000;
constexpr size_t kReadSize = 16 * 1024;

std::string word(int i) {
    static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog, ", "and\n", "é "};
    return words[i % 10];
}

// About 200 bytes per event, as a chat-completions server writes them.
std::string openAIStream() {
    std::string out;
    for (int i = 0; i < kEvents; ++i) {
        json::Value chunk = {{"id", "chatcmpl-abc123"},
                             {"object", "chat.completion.chunk"},
                             {"created", 1733000000},
                             {"model", "rizeru-qwen3.6-27b"},
                             {"choices", {{{"index", 0}, {"delta", {{"content", word(i)}}}, {"finish_reason", nullptr}}}}};
        if (i % 500 == 499)
            chunk["choices"][0]["delta"] = {
                {"tool_calls", {{{"index", 0}, {"function", {{"name", "write_file"}, {"arguments", "{\"p\":\"x\"}"}}}}}}};
        out += "data: " + json::dump(chunk) + "\n\n";
    }
    return out + "data: [DONE]\n\n";
}

std::string anthropicStream() {
    std::string out;
    for (int i = 0; i < kEvents; ++i) {
        json::Value event = {{"type", "content_block_delta"},
                             {"index", 0},
                             {"delta", {{"type", "text_delta"}, {"text", word(i)}}}};
        out += "event: content_block_delta\ndata: " + json::dump(event) + "\n\n";
    }
    return out;
}

std::string geminiStream() {
    std::string out;
    for (int i = 0; i < kEvents; ++i) {
        json::Value chunk = {{"candidates", {{{"content", {{"role", "model"}, {"parts", {{{"text", word(i)}}}}}}, {"index", 0}}}},
                             {"modelVersion", "gemini-2.0-flash"}};
        out += "data: " + json::dump(chunk) + "\r\n\r\n";
    }
    return out;
}

// Feeds the stream in network-sized reads; returns the number of deltas.
template <class Decoder>
size_t decode(const std::string& stream, Decoder& decoder) {
    LineSplitter lines;
    auto onLine = [&](std::string_view line) { return decoder.consumeLine(line); };
    for (size_t at = 0; at < stream.size(); at += kReadSize)
        if (!lines.push(std::string_view(stream).substr(at, kReadSize), onLine)) break;
    lines.finish(onLine);
    benchmark::DoNotOptimize(decoder.finish());
    return 0;
}

template <class Make>
void runDecoder(benchmark::State& state, const std::string& stream, Make make) {
    size_t deltas = 0;
    for (auto _ : state) {
        size_t count = 0;
        auto decoder = make([&](const StreamDelta&) { ++count; });
        decode(stream, decoder);
        deltas += count;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
    state.counters["deltas/s"] = benchmark::Counter(double(deltas), benchmark::Counter::kIsRate);
    state.counters["lines/s"] =
        benchmark::Counter(double(state.iterations()) * kEvents * 2, benchmark::Counter::kIsRate);
}

void splitOnly(benchmark::State& state, const std::string& stream) {
    for (auto _ : state) {
        LineSplitter lines;
        size_t count = 0;
        auto onLine = [&](std::string_view line) {
            count += line.size() + 1;
            return true;
        };
        for (size_t at = 0; at < stream.size(); at += kReadSize) lines.push(std::string_view(stream).substr(at, kReadSize), onLine);
        lines.finish(onLine);
        benchmark::DoNotOptimize(count);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}

// The JSON parse of every data payload alone: the floor of any decoder.
void parseOnly(benchmark::State& state, const std::string& stream) {
    std::vector<std::string> payloads;
    LineSplitter lines;
    auto collect = [&](std::string_view line) {
        if (auto p = LLMProviderSupport::dataPayload(line); p && *p != "[DONE]") payloads.emplace_back(*p);
        return true;
    };
    lines.push(stream, collect);
    lines.finish(collect);
    for (auto _ : state)
        for (const auto& p : payloads) benchmark::DoNotOptimize(json::parse(p));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}

const std::string& openAI() { static const std::string s = openAIStream(); return s; }
const std::string& anthropic() { static const std::string s = anthropicStream(); return s; }
const std::string& gemini() { static const std::string s = geminiStream(); return s; }

void BM_OpenAI_SplitOnly(benchmark::State& s) { splitOnly(s, openAI()); }
void BM_OpenAI_ParseOnly(benchmark::State& s) { parseOnly(s, openAI()); }
void BM_OpenAI_Decode(benchmark::State& s) {
    runDecoder(s, openAI(), [](OnDelta d) { return OpenAIStreamDecoder("openai", std::move(d), false); });
}
void BM_Anthropic_SplitOnly(benchmark::State& s) { splitOnly(s, anthropic()); }
void BM_Anthropic_ParseOnly(benchmark::State& s) { parseOnly(s, anthropic()); }
void BM_Anthropic_Decode(benchmark::State& s) {
    runDecoder(s, anthropic(), [](OnDelta d) { return AnthropicStreamDecoder(std::move(d)); });
}
void BM_Gemini_SplitOnly(benchmark::State& s) { splitOnly(s, gemini()); }
void BM_Gemini_ParseOnly(benchmark::State& s) { parseOnly(s, gemini()); }
void BM_Gemini_Decode(benchmark::State& s) {
    runDecoder(s, gemini(), [](OnDelta d) { return GeminiStreamDecoder(std::move(d)); });
}

} // namespace

BENCHMARK(BM_OpenAI_SplitOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenAI_ParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenAI_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anthropic_SplitOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anthropic_ParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anthropic_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gemini_SplitOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gemini_ParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gemini_Decode)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
