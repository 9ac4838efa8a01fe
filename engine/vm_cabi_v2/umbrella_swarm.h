#pragma once
// A swarm of small random two-layer networks that each propose experts for
// a token from a 64-value summary of the hidden state; their proposals are
// merged by a softmax vote and spread over a few layers from a first one.
// The weights come from MT19937 with a fixed seed, so two swarms of one
// configuration are identical.
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "latent_vote.h"

namespace vm {

struct UmbrellaConfig {
    int agents = 64;
    int width = 64;
    int hidden = 128;
    int layer_span = 4;
    int candidates = 2;
    float temperature = 1.0f;
    uint64_t seed = 659918;
};

class UmbrellaSwarm {
public:
    explicit UmbrellaSwarm(UmbrellaConfig config);

    // x: width values (in_len ≥ 1). Calls callback(layer, expert) for every
    // voted expert and every layer of the span from first_layer.
    latent::VoteResult run(const float* x, int in_len, int token, int experts, int first_layer,
                           const std::function<void(int, int)>& callback);

    const UmbrellaConfig& config() const { return config_; }
    const std::vector<float>& w1() const { return w1_; }
    const std::vector<float>& w2() const { return w2_; }
    const std::vector<latent::LatentPacket>& packets() const { return packets_; }
    const latent::VoteResult& last() const { return last_; }
    uint64_t runs() const { return runs_.load(); }

private:
    void init_random_weights_();

    UmbrellaConfig config_;
    std::vector<float> w1_, w2_;
    std::vector<latent::LatentPacket> packets_;
    latent::VoteResult last_;
    std::atomic<uint64_t> runs_{0};
};

} // namespace vm
