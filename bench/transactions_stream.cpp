// Streaming text through the tool-call interceptor and the inference
// transaction manager happens once per generated piece. Each is measured
// against the bare work any hold-back needs, done in the same run on the same
// pieces: appending the piece and segmenting the held text into characters.
// A held call (an envelope that has begun) is re-read on every piece, so its
// baseline segments the whole held text each time too.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#include "VivirovKit/Agentic/ToolCallInterceptor.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"
#include "bench/guards_ratio_reporter.h"

using namespace vivirov;

namespace {

constexpr size_t pieceBytes = 4;

std::vector<std::string> pieces(const std::string& text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); i += pieceBytes) out.push_back(text.substr(i, pieceBytes));
    return out;
}

std::string prose(size_t bytes) {
    std::string out;
    while (out.size() < bytes) out += "Streaming prose with a few words, café and naïve, then more text. ";
    return out;
}

std::string heldEnvelope(size_t contentBytes) {
    return "Writing it now. <tool_call>{\"tool\":\"write_file\",\"args\":{\"path\":\"a.txt\",\"content\":\"" +
           std::string(contentBytes, 'x') + "\"}}</tool_call> Done.";
}

// The bare hold-back: append, segment what is held, keep the last 12 characters.
void segmentTail(benchmark::State& state, const std::vector<std::string>& stream) {
    for (auto _ : state) {
        std::string held;
        for (const std::string& piece : stream) {
            held += piece;
            GraphemeText chars(held);
            if (chars.size() > 12) held.erase(0, chars.byteStart(chars.size() - 12));
        }
        benchmark::DoNotOptimize(held);
    }
}

// A held call is segmented whole on every piece.
void segmentGrowing(benchmark::State& state, const std::vector<std::string>& stream) {
    for (auto _ : state) {
        std::string held;
        for (const std::string& piece : stream) {
            held += piece;
            benchmark::DoNotOptimize(GraphemeText(held).size());
        }
    }
}

void intercept(benchmark::State& state, const std::vector<std::string>& stream) {
    for (auto _ : state) {
        ToolCallInterceptor interceptor;
        size_t shown = 0;
        for (const std::string& piece : stream) shown += interceptor.feed(piece).flush.size();
        shown += interceptor.flushAll().size();
        benchmark::DoNotOptimize(shown);
    }
}

class ReplaySession : public SessionBridging {
public:
    explicit ReplaySession(const std::vector<std::string>& stream) : stream_(stream) {}
    bool beginSession(const std::string&, int32_t, float, float, uint32_t) override {
        next_ = 0;
        return true;
    }
    Decoded decodeNext() override {
        if (next_ == stream_.size()) return {{}, true};
        return {stream_[next_++], false};
    }
    int32_t takeSnapshot() override { return 1; }
    void rollback(int32_t) override {}
    void injectText(const std::string&) override {}
    void releaseSnapshot() override {}
    void endSession() override {}

private:
    const std::vector<std::string>& stream_;
    size_t next_ = 0;
};

void transact(benchmark::State& state, const std::vector<std::string>& stream) {
    auto session = std::make_shared<ReplaySession>(stream);
    size_t shown = 0;
    InferenceTransactionManager manager(session, std::make_shared<UniversalASTVerifier>(), 2,
                                        [&](const std::string& text) { shown += text.size(); }, nullptr,
                                        [](const std::string&) { return std::string("ok"); });
    for (auto _ : state) manager.run("prompt", 4096, 0.7f, 0.9f, 0);
    benchmark::DoNotOptimize(shown);
}

const std::vector<std::string>& proseStream() {
    static const auto stream = pieces(prose(64 * 1024));
    return stream;
}

const std::vector<std::string>& codeStream() {
    static const auto stream = [] {
        std::string text;
        for (int i = 0; i < 64; ++i)
            text += prose(900) + "```python\ndef f" + std::to_string(i) + "(a, b):\n    return a + b\n```\n";
        return pieces(text);
    }();
    return stream;
}

const std::vector<std::string>& envelopeStream(size_t contentBytes) {
    static std::map<size_t, std::vector<std::string>> streams;
    auto& stream = streams[contentBytes];
    if (stream.empty()) stream = pieces(heldEnvelope(contentBytes));
    return stream;
}

void BM_InterceptProse_measured(benchmark::State& s) { intercept(s, proseStream()); }
void BM_InterceptProse_baseline(benchmark::State& s) { segmentTail(s, proseStream()); }
void BM_InterceptHeldEnvelope_measured(benchmark::State& s) { intercept(s, envelopeStream(size_t(s.range(0)))); }
void BM_InterceptHeldEnvelope_baseline(benchmark::State& s) { segmentGrowing(s, envelopeStream(size_t(s.range(0)))); }
void BM_TransactProse_measured(benchmark::State& s) { transact(s, proseStream()); }
void BM_TransactProse_baseline(benchmark::State& s) { segmentTail(s, proseStream()); }
void BM_TransactCodeBlocks_measured(benchmark::State& s) { transact(s, codeStream()); }
void BM_TransactCodeBlocks_baseline(benchmark::State& s) { segmentTail(s, codeStream()); }
void BM_TransactHeldEnvelope_measured(benchmark::State& s) { transact(s, envelopeStream(size_t(s.range(0)))); }
void BM_TransactHeldEnvelope_baseline(benchmark::State& s) { segmentGrowing(s, envelopeStream(size_t(s.range(0)))); }

} // namespace

// Names "X/measured" and "X/baseline" pair up in the ratio report.
BENCHMARK(BM_InterceptProse_measured)->Name("intercept_prose/measured")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InterceptProse_baseline)->Name("intercept_prose/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InterceptHeldEnvelope_measured)->Name("intercept_held_envelope/measured")->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InterceptHeldEnvelope_baseline)->Name("intercept_held_envelope/baseline")->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransactProse_measured)->Name("transact_prose/measured")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransactProse_baseline)->Name("transact_prose/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransactCodeBlocks_measured)->Name("transact_code_blocks/measured")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransactCodeBlocks_baseline)->Name("transact_code_blocks/baseline")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransactHeldEnvelope_measured)->Name("transact_held_envelope/measured")->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransactHeldEnvelope_baseline)->Name("transact_held_envelope/baseline")->Arg(4096)->Arg(16384)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv); }
