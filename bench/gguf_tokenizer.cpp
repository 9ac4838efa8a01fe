// Tokenizer throughput on 1 MiB of English-like and of mixed-script text with
// a synthetic byte-level vocabulary of about 150,000 tokens, and the time to
// build the tables. Baselines from the same run: the UTF-8 decode alone and
// the pre-tokenizer alone over the same text (work every encode must do).
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/vm_cabi/bpe_tokenizer.h"
#include "engine/vm_cabi/gguf_file.h"
#include "tests/support/GGUFWriter.h"

namespace {

struct Corpus {
    std::string path;
    std::unique_ptr<GGUFFile> file;
    std::unique_ptr<BPETokenizer> tok;
    std::string english, mixed;
    size_t tokens = 0, merges = 0;
};

const Corpus& corpus() {
    static Corpus c = [] {
        Corpus out;
        out.path = "/tmp/vivirov_bench_vocab_" + std::to_string(getpid()) + ".gguf";
        // Byte symbols from a tokenizer over an empty vocabulary.
        vivirov::test::GGUFWriter().write(out.path);
        GGUFFile empty(out.path);
        BPETokenizer bytes(empty);

        std::mt19937 rng(42);
        const std::vector<std::string> syl = {"th", "e", "an", "in", "er", "on", "re", "at", "st", "en", "nd", "ti",
                                              "es", "or", "te", "of", "ed", "is", "it", "al", "ar", "ng", "to", "ou",
                                              "ha", "co", "le", "ve", "me", "de", "hi", "ri", "ro", "ic", "ne", "ea",
                                              "ra", "ce", "li", "ch"};
        const std::vector<std::string> foreign = {"при", "вет", "мир", "ский", "но", "日本", "語", "中文", "字",
                                                  "的", "是", "αλ", "φα", "βη", "τα", "한국", "어", "العر", "بية"};
        std::vector<std::string> tokens, merges;
        std::set<std::string> seen;
        for (int b = 0; b < 256; ++b) {
            tokens.push_back(bytes.byte_enc[b]);
            seen.insert(bytes.byte_enc[b]);
        }
        auto chain = [&](const std::string& word) {
            std::string acc = bytes.byte_enc[(unsigned char)word[0]];
            for (size_t i = 1; i < word.size(); ++i) {
                std::string next = bytes.byte_enc[(unsigned char)word[i]];
                std::string joined = acc + next;
                if (seen.insert(joined).second) {
                    merges.push_back(acc + " " + next);
                    tokens.push_back(joined);
                }
                acc = joined;
            }
        };
        std::vector<std::string> words, fwords;
        while (tokens.size() < 150000) {
            int n = 1 + int(rng() % 4);
            std::string w;
            for (int i = 0; i < n; ++i) w += syl[rng() % syl.size()];
            words.push_back(w);
            chain(w);
            chain(" " + w);
            if (words.size() % 8 == 0) {
                std::string f;
                for (int i = 0; i < 1 + int(rng() % 3); ++i) f += foreign[rng() % foreign.size()];
                fwords.push_back(f);
                chain(f);
                chain(" " + f);
            }
        }
        for (const char* s : {"<|endoftext|>", "<|im_start|>", "<|im_end|>"}) tokens.push_back(s);
        out.tokens = tokens.size();
        out.merges = merges.size();
        vivirov::test::GGUFWriter().strings("tokenizer.ggml.tokens", tokens).strings("tokenizer.ggml.merges", merges)
            .write(out.path);
        out.file = std::make_unique<GGUFFile>(out.path);
        out.tok = std::make_unique<BPETokenizer>(*out.file);

        // Zipf-like word choice, punctuation, numbers and line breaks.
        std::vector<double> weight(words.size());
        for (size_t i = 0; i < weight.size(); ++i) weight[i] = 1.0 / double(i + 1);
        std::discrete_distribution<size_t> pick(weight.begin(), weight.end());
        const char* punct[] = {",", ".", "!", "?", ";", " -", "'s", "'t", ":"};
        while (out.english.size() < (1u << 20)) {
            if (!out.english.empty()) out.english += ' ';
            std::string w = words[pick(rng)];
            if (rng() % 10 == 0) w[0] = char(w[0] - 32);
            out.english += w;
            if (rng() % 7 == 0) out.english += punct[rng() % 9];
            if (rng() % 40 == 0) out.english += " " + std::to_string(rng() % 10000);
            if (rng() % 60 == 0) out.english += "\n\n";
        }
        const char* emoji[] = {"😀", "🚀", "✨"};
        while (out.mixed.size() < (1u << 20)) {
            if (!out.mixed.empty()) out.mixed += ' ';
            switch (rng() % 4) {
            case 0: out.mixed += words[pick(rng)]; break;
            case 1: out.mixed += fwords[rng() % fwords.size()]; break;
            case 2: out.mixed += fwords[rng() % fwords.size()] + "。"; break;
            default: out.mixed += std::string(emoji[rng() % 3]) + std::to_string(rng() % 100); break;
            }
        }
        return out;
    }();
    return c;
}

void BM_BuildTables(benchmark::State& state) {
    const Corpus& c = corpus();
    for (auto _ : state) {
        BPETokenizer t(*c.file);
        benchmark::DoNotOptimize(t.vocab.size());
    }
    state.counters["tokens"] = double(c.tokens);
    state.counters["merges"] = double(c.merges);
}

const std::string& textOf(int which) { return which == 0 ? corpus().english : corpus().mixed; }

void BM_Encode(benchmark::State& state) {
    const std::string& text = textOf(int(state.range(0)));
    size_t ids = 0;
    for (auto _ : state) {
        auto v = corpus().tok->encode(text);
        ids = v.size();
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.SetLabel(state.range(0) == 0 ? "english" : "mixed-script");
    state.counters["bytes_per_id"] = double(text.size()) / double(ids);
}

void BM_Utf8DecodeBaseline(benchmark::State& state) {
    const std::string& text = textOf(int(state.range(0)));
    for (auto _ : state) {
        auto v = BPETokenizer::decode_utf8(text);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.SetLabel(state.range(0) == 0 ? "english" : "mixed-script");
}

void BM_PretokenizeBaseline(benchmark::State& state) {
    const std::string& text = textOf(int(state.range(0)));
    for (auto _ : state) {
        auto v = corpus().tok->pretokenize(BPETokenizer::decode_utf8(text), text);
        benchmark::DoNotOptimize(v.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.SetLabel(state.range(0) == 0 ? "english" : "mixed-script");
}

} // namespace

BENCHMARK(BM_BuildTables)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Utf8DecodeBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PretokenizeBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(corpus().path.c_str());
    return 0;
}
