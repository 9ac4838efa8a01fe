#include "vm_cabi_v2/umbrella_swarm.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace vm {

namespace {

// latent · 1e6 as an unsigned 32-bit value, saturating (negative gives 0).
uint32_t saturate_u32(float v) {
    const double d = double(v) * 1000000.0;
    if (!(d > 0.0)) return 0;
    if (d >= 4294967295.0) return 4294967295u;
    return uint32_t(d);
}

latent::LatentPacket blank_packet(uint16_t agent) {
    latent::LatentPacket p;
    p.magic = latent::kPacketMagic;
    p.version = 1;
    p.agent = agent;
    return p;
}

} // namespace

UmbrellaSwarm::UmbrellaSwarm(UmbrellaConfig config) : config_(config) {
    config_.agents = std::clamp(config_.agents, 1, 1024);
    config_.width = latent::kLatentWidth;
    init_random_weights_();
    packets_.reserve(size_t(config_.agents));
    for (int a = 0; a < config_.agents; ++a) packets_.push_back(blank_packet(uint16_t(a)));
}

void UmbrellaSwarm::init_random_weights_() {
    std::mt19937 gen(uint32_t(config_.seed));
    const size_t n = size_t(config_.agents) * size_t(config_.width) * size_t(std::max(config_.hidden, 0));
    w1_.assign(n, 0.0f);
    w2_.assign(n, 0.0f);
    for (auto* w : {&w1_, &w2_})
        for (float& v : *w) v = std::fma(float(double(gen()) / 4294967296.0), 0.1f, -0.05f);
}

latent::VoteResult UmbrellaSwarm::run(const float* x, int in_len, int token, int experts, int first_layer,
                                      const std::function<void(int, int)>& callback) {
    if (!x || in_len < 1 || experts < 1) return {};
    const int A = config_.agents, W = config_.width, H = config_.hidden;
    std::vector<float> h(size_t(A) * size_t(std::max(H, 0)), 0.0f);
    if (H > 0)
        cblas_sgemv(CblasRowMajor, CblasNoTrans, A * H, W, 1.0f, w1_.data(), W, x, 1, 0.0f, h.data(), 1);
    const int n_cand = std::min(config_.candidates, latent::kMaxCandidates);
    for (int a = 0; a < A; ++a) {
        latent::LatentPacket& p = packets_[size_t(a)];
        p = blank_packet(uint16_t(a));
        for (int j = 0; j < W; ++j) {
            float s = 0.0f;
            for (int g = 0; g < H; ++g)
                s += w2_[(size_t(a) * size_t(W) + size_t(j)) * size_t(H) + size_t(g)] * h[size_t(a) * size_t(H) + size_t(g)];
            p.latent[j] = std::tanh(H < 1 ? 0.0f : s);
        }
        p.score = std::fma(float(a), -0.01f, p.latent[0]);
        p.n_candidates = uint16_t(std::max(n_cand, 0));
        const uint32_t I = (uint32_t(a) * 40503u) ^ (uint32_t(token) * 0x9E3779B1u);
        for (int m = 0; m < n_cand; ++m) {
            const uint32_t U = saturate_u32(p.latent[m % W]);
            p.candidates[m] = uint16_t((I ^ (uint32_t(m) * 0x9E3779B9u) ^ U) % uint32_t(experts));
        }
        p.sequence = a + token + 1;
        p.hop = 1;
        p.first_layer = uint16_t(std::max(first_layer, 0));
        p.end_layer = uint16_t(first_layer + config_.layer_span);
    }
    latent::VoteResult r = latent::vote(packets_.data(), A, config_.temperature);
    if (callback && r.count > 0)
        for (int i = 0; i < r.count; ++i)
            for (int l = first_layer; l < first_layer + config_.layer_span; ++l) callback(l, r.experts[i]);
    last_ = r;
    runs_.fetch_add(1);
    return r;
}

} // namespace vm
