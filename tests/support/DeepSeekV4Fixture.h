#pragma once
// A tiny DeepSeek-V4-shaped GGUF model for engine tests: every tensor the
// forward pass, attention, compressor, indexer, router and experts look up,
// at a shape small enough to write in milliseconds (E 256, 2 streams, 2 heads
// of 128 with a 64-wide rotary tail, query rank 64, 2 output groups of rank
// 32, indexer 2 × 128, 8 experts of width 64 with 2 used, 1 hash layer, 4
// layers so that the compression ratios 0, 0, 4 and 128 all appear, vocab
// 512). Variants: core-only (no fused expert tensors) or with fused experts,
// one shard or several. Matrix weights are random valid blocks; norms,
// hyper-connection scales and biases are small F32 values.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vivirov::test {

struct DeepSeekV4Shape {
    int nEmbd = 256;
    int nHc = 2;
    int nHead = 2;
    int headDim = 128; // = value length
    int nRot = 64;
    int qRank = 64;
    int oGroups = 2;
    int oRank = 32;
    int ixHeads = 2;
    int ixDim = 128;
    int ixTopK = 64; // at least the number of blocks of any test prompt
    int nExpert = 8;
    int nExpertUsed = 2;
    int nFfExp = 64;
    int nHashLayers = 1;
    int nLayer = 4;
    int nVocab = 512;
    int sharedCount = 1;
    float rmsEps = 1e-6f;
};

struct DeepSeekV4Options {
    DeepSeekV4Shape shape;
    bool withExperts = true;
    int shards = 1;
    // Type of the large matrices (a type whose block does not divide a row
    // falls back to Q8_0 for that tensor).
    uint32_t matrixType = 8;      // Q8_0
    uint32_t expertType = 8;      // fused experts
    uint32_t seed = 1234;
    // Metadata keys (without the "deepseek4." prefix) written with another
    // number, or left out when mapped to none; texts are written as strings.
    std::map<std::string, std::optional<double>> metadata;
    std::map<std::string, std::string> metadataText;
    // Tensors left out of the file.
    std::set<std::string> omitTensors;
};

struct DeepSeekV4Model {
    std::vector<std::string> shardPaths; // shardPaths[0] opens the model
    // Every tensor as written: GGML type, dims (innermost first) and bytes.
    struct Tensor {
        uint32_t type = 0;
        std::vector<uint64_t> dims;
        std::string bytes;
        int shard = 0;
    };
    std::map<std::string, Tensor> tensors;
    const std::string& path() const { return shardPaths.front(); }
};

// Compression ratio of layer il: 0 for layers 0 and 1, then 4 for even and
// 128 for odd layers.
int deepSeekV4CompressRatio(int il);

// Writes the model into `dir` as "<stem>.gguf" (one shard) or
// "<stem>-0000i-of-0000N.gguf".
DeepSeekV4Model writeDeepSeekV4Model(const std::string& dir, const std::string& stem,
                                     const DeepSeekV4Options& options = {});

} // namespace vivirov::test
