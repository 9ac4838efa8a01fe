// The second-generation engine's dense CPU decode step on a Q8_0 model of
// hidden 896, 14 heads, 2 KV heads, feed-forward 4864 and 24 layers, without
// a GPU device (CPU kernels), beside the time the machine needs to read the
// step's weight bytes once at its read bandwidth measured in the same run:
// the bound of a weight-streaming decode.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/guards_ratio_reporter.h"
#include "bench/read_bandwidth.h"
#include "engine/vm_cabi/gguf_file.h"
#include "engine/vm_v2/dense_decode_stages.h"
#include "engine/vm_v2/vm_engine_v2.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

namespace {

constexpr uint64_t kHidden = 896, kHeads = 14, kKVHeads = 2, kFF = 4864, kLayers = 24, kVocab = 32000;
constexpr uint64_t kKV = kKVHeads * kHidden / kHeads;
constexpr int kPositions = 64; // a sequence restarts after this many steps

struct Item {
    std::string name;
    std::vector<uint64_t> dims;
    uint32_t type;
};

std::vector<Item> tensors() {
    using W = vivirov::test::GGUFWriter;
    std::vector<Item> items = {{"token_embd.weight", {kHidden, kVocab}, W::GF32},
                               {"output_norm.weight", {kHidden}, W::GF32},
                               {"output.weight", {kHidden, kVocab}, W::GQ8_0}};
    for (uint64_t l = 0; l < kLayers; ++l) {
        const std::string p = "blk." + std::to_string(l) + ".";
        for (const Item& it : std::vector<Item>{{"attn_norm.weight", {kHidden}, W::GF32},
                                                {"ffn_norm.weight", {kHidden}, W::GF32},
                                                {"attn_q.weight", {kHidden, kHidden}, W::GQ8_0},
                                                {"attn_k.weight", {kHidden, kKV}, W::GQ8_0},
                                                {"attn_v.weight", {kHidden, kKV}, W::GQ8_0},
                                                {"attn_output.weight", {kHidden, kHidden}, W::GQ8_0},
                                                {"ffn_gate.weight", {kHidden, kFF}, W::GQ8_0},
                                                {"ffn_up.weight", {kHidden, kFF}, W::GQ8_0},
                                                {"ffn_down.weight", {kFF, kHidden}, W::GQ8_0},
                                                {"attn_q.bias", {kHidden}, W::GF32},
                                                {"attn_k.bias", {kKV}, W::GF32},
                                                {"attn_v.bias", {kKV}, W::GF32}})
            items.push_back({p + it.name, it.dims, it.type});
    }
    return items;
}

uint64_t elements(const Item& it) {
    uint64_t n = 1;
    for (uint64_t d : it.dims) n *= d;
    return n;
}

// Every matrix is read once per step; the embedding contributes one row.
double weight_bytes_per_token() {
    double bytes = 0;
    for (const Item& it : tensors())
        if (it.dims.size() == 2 && it.name != "token_embd.weight")
            bytes += double(vivirov::test::ggmlBytes(it.type, elements(it)));
    return bytes;
}

std::string write_model() {
    const std::string path = "/tmp/vivirov_bench_dense_" + std::to_string(getpid()) + ".gguf";
    vivirov::test::GGUFWriter w;
    w.str("general.architecture", "qwen2")
        .u32("qwen2.embedding_length", kHidden)
        .u32("qwen2.attention.head_count", kHeads)
        .u32("qwen2.attention.head_count_kv", kKVHeads)
        .u32("qwen2.block_count", kLayers)
        .u32("qwen2.feed_forward_length", kFF);
    std::vector<std::string> tokens;
    for (uint64_t i = 0; i < kVocab; ++i) tokens.push_back("t" + std::to_string(i));
    w.strings("tokenizer.ggml.tokens", tokens);
    const auto items = tensors();
    uint64_t offset = 0;
    for (const Item& it : items) {
        w.tensorInfo(it.name, it.dims, it.type, offset);
        offset += (vivirov::test::ggmlBytes(it.type, elements(it)) + 31) / 32 * 32;
    }
    const std::string header = w.bytes();
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(header.data(), 1, header.size(), f);
    std::mt19937 rng(5);
    for (const Item& it : items) {
        std::string bytes;
        if (it.type == vivirov::test::GGUFWriter::GF32) {
            std::vector<float> v(elements(it));
            const bool norm = it.name.find("norm") != std::string::npos;
            for (float& x : v) x = norm ? 1.0f : float(int(rng() % 2001) - 1000) * 1e-4f;
            bytes = vivirov::test::GGUFWriter::f32Bytes(v);
        } else {
            bytes = vivirov::test::randomBlocks(it.type, elements(it), rng);
        }
        bytes.resize((bytes.size() + 31) / 32 * 32, '\0');
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    std::fclose(f);
    return path;
}

vivirov::VMEngineV2& engine() {
    static const std::string path = write_model();
    static vivirov::VMEngineV2 e(path.c_str());
    unlink(path.c_str()); // the mapping keeps it readable
    return e;
}

void cpu_step(benchmark::State& state) {
    vivirov::VMEngineV2& engine = ::engine();
    if (engine.fused_) return state.SkipWithError("expected the CPU path (no Vulkan device)");
    vivirov::VMEngineV2::ActiveSequence seq;
    seq.agent_id = 1;
    // One whole sequence before timing faults in the model's mapping and the
    // table pages this agent's keys use, as in an engine that has served a
    // while; the timed steps then reuse them.
    for (seq.pos = 0; seq.pos < kPositions; ++seq.pos) seq.token = engine.forward_one_cpu(seq);
    engine.kv_forget_(seq.agent_id, seq.pos);
    seq.pos = 0;
    for (auto _ : state) {
        if (seq.pos == kPositions) {
            engine.kv_forget_(seq.agent_id, seq.pos);
            seq.pos = 0;
        }
        const auto t0 = std::chrono::steady_clock::now();
        seq.token = engine.forward_one_cpu(seq);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        seq.pos += 1;
    }
    engine.kv_forget_(seq.agent_id, seq.pos);
    state.counters["tokens_per_s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["weight_GB_per_s"] =
        benchmark::Counter(double(state.iterations()) * weight_bytes_per_token() / 1e9, benchmark::Counter::kIsRate);
}

// The step's weight products alone, stage by stage as the step hands them to
// the pool: what the step costs beyond them is its own overhead.
void products_only(benchmark::State& state) {
    vivirov::VMEngineV2& e = engine();
    std::vector<float> x(kFF, 0.01f), y(kVocab);
    std::vector<float> gate(kFF), up(kFF), act(kFF);
    auto t = [&](uint64_t l, const char* name) { return e.gguf_->find(vivirov::VMEngineV2::blk(int(l), name)); };
    using vivirov::dense::Product;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        for (uint64_t l = 0; l < kLayers; ++l) {
            vivirov::dense::cpu_products({{t(l, "attn_q.weight"), x.data(), y.data()},
                                          {t(l, "attn_k.weight"), x.data(), y.data() + kHidden},
                                          {t(l, "attn_v.weight"), x.data(), y.data() + kHidden + kKV}});
            vivirov::dense::cpu_products({{t(l, "attn_output.weight"), x.data(), y.data()}});
            vivirov::dense::cpu_gated_ffn(t(l, "ffn_gate.weight"), t(l, "ffn_up.weight"), x.data(), gate.data(),
                                          up.data(), act.data(), int32_t(kFF));
            vivirov::dense::cpu_products({{t(l, "ffn_down.weight"), act.data(), y.data()}});
        }
        vivirov::dense::cpu_products({{e.output_, x.data(), y.data()}});
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    state.counters["weight_GB_per_s"] =
        benchmark::Counter(double(state.iterations()) * weight_bytes_per_token() / 1e9, benchmark::Counter::kIsRate);
}

// One token's weight bytes at the machine's read bandwidth, measured now.
void read_bound(benchmark::State& state) {
    static const double gbps = vivirov::bench::measureReadBandwidth();
    for (auto _ : state) state.SetIterationTime(weight_bytes_per_token() / (gbps * 1e9));
    state.counters["read_GB_per_s"] = gbps;
}

} // namespace

BENCHMARK(cpu_step)->Name("dense_decode/measured_q8_0_h896_l24")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(products_only)->Name("dense_decode/products_q8_0_h896_l24")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(read_bound)->Name("dense_decode/baseline_q8_0_h896_l24")->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) { return vivirov::bench::runWithRatios(argc, argv, true); }
