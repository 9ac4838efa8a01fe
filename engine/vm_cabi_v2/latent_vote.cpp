#include "vm_cabi_v2/latent_vote.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace vm::latent {

VoteResult vote(const LatentPacket* packets, int count, float temperature) {
    VoteResult r;
    if (!packets || count < 1) return r;
    const int n = std::min(count, kMaxPackets);
    r.packets_voted = n;
    float f = packets[0].score;
    for (int i = 1; i < n; ++i) f = std::max(f, packets[i].score);
    const float rate = 1.0f / std::max(temperature, 1e-6f);
    std::vector<float> w(static_cast<size_t>(n));
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        w[size_t(i)] = std::exp(rate * (packets[i].score - f));
        sum += double(w[size_t(i)]);
    }
    const float scale = sum > 0.0 ? float(1.0 / sum) : 1.0f / float(n);
    for (float& v : w) v *= scale;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < kLatentWidth; ++j)
            r.mean_latent[j] = std::fma(w[size_t(i)], packets[i].latent[j], r.mean_latent[j]);
        r.max_weight = std::max(r.max_weight, w[size_t(i)]);
    }
    std::vector<std::pair<int32_t, float>> tally;
    for (int i = 0; i < n; ++i) {
        const int m = std::min<int>(packets[i].n_candidates, kMaxCandidates);
        for (int c = 0; c < m; ++c) {
            const int32_t e = packets[i].candidates[c];
            auto it = std::find_if(tally.begin(), tally.end(), [&](const auto& p) { return p.first == e; });
            if (it == tally.end())
                tally.emplace_back(e, w[size_t(i)]);
            else
                it->second += w[size_t(i)];
        }
    }
    std::stable_sort(tally.begin(), tally.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    r.count = int32_t(std::min<size_t>(tally.size(), kMaxCandidates));
    for (int i = 0; i < r.count; ++i) r.experts[i] = tally[size_t(i)].first;
    return r;
}

} // namespace vm::latent
