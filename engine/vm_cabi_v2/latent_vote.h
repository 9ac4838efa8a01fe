#pragma once
// Packets of expert proposals and the softmax vote that merges them.
#include <cstdint>

namespace vm::latent {

inline constexpr int kLatentWidth = 64;
inline constexpr int kMaxCandidates = 16;
inline constexpr int kMaxPackets = 1024;

struct LatentPacket {
    uint32_t magic = 0; // bytes "NTAL" in memory
    uint16_t version = 0;
    uint16_t agent = 0;
    float latent[kLatentWidth] = {};
    float score = 0.0f;
    uint16_t n_candidates = 0;
    uint16_t candidates[kMaxCandidates] = {};
    int32_t sequence = 0;
    uint32_t reserved[4] = {};
    uint16_t hop = 0;
    uint16_t first_layer = 0;
    uint16_t end_layer = 0;
};

inline constexpr uint32_t kPacketMagic = uint32_t('N') | uint32_t('T') << 8 | uint32_t('A') << 16 |
                                         uint32_t('L') << 24;

struct VoteResult {
    float mean_latent[kLatentWidth] = {};
    int32_t experts[kMaxCandidates] = {};
    int32_t count = 0;
    float max_weight = 0.0f;
    int32_t packets_voted = 0;
};

// Weights exp((score − max) / max(temperature, 1e-6)) scaled to sum 1 (over
// at most 1024 packets); the weighted mean latent; the candidates tallied by
// weight, the heaviest 16 first.
VoteResult vote(const LatentPacket* packets, int count, float temperature);

} // namespace vm::latent
