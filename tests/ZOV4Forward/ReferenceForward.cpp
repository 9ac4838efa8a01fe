#include "tests/ZOV4Forward/ReferenceForward.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

namespace vivirov::test {

namespace {

using Vec = std::vector<double>;

// The fixture's hyperparameters besides the shape.
constexpr double kHcEps = 1e-6f;
constexpr double kRopeBase = 10000.0;
constexpr double kFreqScale = 0.25; // rope.scaling.factor 4
constexpr double kOrigCtx = 4096;
constexpr double kBetaFast = 32, kBetaSlow = 1;
constexpr double kWeightsScale = 2.5;
constexpr double kClamp = 10.0;

double half(uint16_t h) {
    const int e = (h >> 10) & 31, m = h & 1023;
    const double v = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
    return (h & 0x8000) ? -v : v;
}

// All values of a tensor (F32, Q8_0 or I32) in double.
Vec values(const DeepSeekV4Model& model, const std::string& name) {
    const DeepSeekV4Model::Tensor& t = model.tensors.at(name);
    uint64_t n = 1;
    for (uint64_t d : t.dims) n *= d;
    Vec v(n);
    const auto* b = reinterpret_cast<const uint8_t*>(t.bytes.data());
    if (t.type == 0 || t.type == 26) {
        for (uint64_t i = 0; i < n; ++i) {
            if (t.type == 0) {
                float f;
                std::memcpy(&f, b + 4 * i, 4);
                v[i] = f;
            } else {
                int32_t x;
                std::memcpy(&x, b + 4 * i, 4);
                v[i] = x;
            }
        }
    } else if (t.type == 8) {
        for (uint64_t blk = 0; blk < n / 32; ++blk) {
            const uint8_t* p = b + blk * 34;
            uint16_t d;
            std::memcpy(&d, p, 2);
            for (int i = 0; i < 32; ++i) v[blk * 32 + uint64_t(i)] = half(d) * double(int8_t(p[2 + i]));
        }
    } else {
        throw std::runtime_error("reference: unsupported type of " + name);
    }
    return v;
}

// y = W·x for W of rows × cols.
Vec matvec(const Vec& W, const Vec& x, size_t rows, size_t cols, size_t offset = 0) {
    Vec y(rows);
    for (size_t r = 0; r < rows; ++r) {
        double s = 0;
        for (size_t c = 0; c < cols; ++c) s += W[offset + r * cols + c] * x[c];
        y[r] = s;
    }
    return y;
}

Vec rmsnorm(const Vec& x, const Vec* w, double eps) {
    double s = 0;
    for (double v : x) s += v * v;
    const double scale = 1 / std::sqrt(s / double(x.size()) + eps);
    Vec y(x.size());
    for (size_t i = 0; i < x.size(); ++i) y[i] = x[i] * scale * (w ? (*w)[i] : 1.0);
    return y;
}

double sigmoid(double z) { return 1 / (1 + std::exp(-z)); }
double silu(double z) { return z * sigmoid(z); }

// YaRN-scaled rotation of the last `rot` values, pairs (i, i + rot/2).
void rope(double* row, size_t width, size_t rot, double pos) {
    const double pi = 3.1415927f;
    auto corr = [&](double b) { return double(rot) * std::log(kOrigCtx / (2 * pi * b)) / (2 * std::log(kRopeBase)); };
    const double low = std::max(0.0, std::floor(corr(kBetaFast)));
    const double high = std::min(double(rot) - 1, std::ceil(corr(kBetaSlow)));
    const double span = std::max(high - low, 0.001);
    const double mscale = 1 + 0.1 * std::log(1 / kFreqScale);
    double* tail = row + (width - rot);
    for (size_t i = 0; i < rot / 2; ++i) {
        const double extrap = pos * std::pow(kRopeBase, -2.0 * double(i) / double(rot));
        const double ramp = 1 - std::clamp((double(i) - low) / span, 0.0, 1.0);
        const double theta = kFreqScale * extrap * (1 - ramp) + extrap * ramp;
        const double c = std::cos(theta) * mscale, s = std::sin(theta) * mscale;
        const double x0 = tail[i], x1 = tail[i + rot / 2];
        tail[i] = x0 * c - x1 * s;
        tail[i + rot / 2] = x0 * s + x1 * c;
    }
}

// Rounds every value of the unrotated part through a per-64-block
// power-of-two scale times the nearest FP8 E4M3 magnitude (ties to even).
void fp8(double* row, size_t width, size_t rot) {
    static const Vec magnitudes = [] {
        Vec m;
        for (int c = 0; c <= 126; ++c) m.push_back(c < 8 ? std::ldexp(c, -9) : std::ldexp(1 + (c % 8) / 8.0, c / 8 - 7));
        return m;
    }();
    for (size_t b = 0; b + 64 <= width - rot; b += 64) {
        double amax = 0;
        for (size_t i = 0; i < 64; ++i) amax = std::max(amax, std::fabs(row[b + i]));
        const double scale = std::ldexp(1.0, int(std::ceil(std::log2(std::max(amax, 1e-4) / 448))));
        for (size_t i = 0; i < 64; ++i) {
            const double f = std::clamp(row[b + i] / scale, -448.0, 448.0), a = std::fabs(f);
            size_t best = 0;
            for (size_t c = 1; c < magnitudes.size(); ++c) {
                const double dc = std::fabs(magnitudes[c] - a), db = std::fabs(magnitudes[best] - a);
                if (dc < db || (dc == db && c % 2 == 0)) best = c;
            }
            row[b + i] = scale * (f < 0 ? -magnitudes[best] : magnitudes[best]);
        }
    }
}

struct Mix {
    Vec pre, post, comb;
};

// The pre-mix of one position's streams.
Mix hcSplit(const DeepSeekV4Model& m, const std::string& prefix, const Vec& streams, size_t S, double eps) {
    const Vec fn = values(m, prefix + "fn.weight"), sc = values(m, prefix + "scale.weight");
    const Vec base = values(m, prefix + "base.weight");
    const Vec L = matvec(fn, rmsnorm(streams, nullptr, eps), S * (S + 2), streams.size());
    Mix mix;
    for (size_t i = 0; i < S; ++i) {
        mix.pre.push_back(sigmoid(L[i] * sc[0] + base[i]) + kHcEps);
        mix.post.push_back(2 * sigmoid(L[S + i] * sc[1] + base[S + i]));
    }
    Vec& c = mix.comb;
    c.assign(S * S, 0);
    for (size_t r = 0; r < S; ++r) {
        double top = -INFINITY, sum = 0;
        for (size_t k = 0; k < S; ++k) top = std::max(top, L[2 * S + r * S + k] * sc[2] + base[2 * S + r * S + k]);
        for (size_t k = 0; k < S; ++k) sum += c[r * S + k] = std::exp(L[2 * S + r * S + k] * sc[2] + base[2 * S + r * S + k] - top);
        for (size_t k = 0; k < S; ++k) c[r * S + k] = c[r * S + k] / sum + kHcEps;
    }
    for (int pass = 0; pass < 39; ++pass) { // column, then (row, column) × 19
        const bool columns = pass % 2 == 0;
        for (size_t a = 0; a < S; ++a) {
            double t = 0;
            for (size_t b = 0; b < S; ++b) t += columns ? c[b * S + a] : c[a * S + b];
            for (size_t b = 0; b < S; ++b) (columns ? c[b * S + a] : c[a * S + b]) /= kHcEps + t;
        }
    }
    return mix;
}

Vec weightedSum(const Vec& streams, const Vec& w, size_t E) {
    Vec y(E, 0);
    for (size_t k = 0; k < w.size(); ++k)
        for (size_t i = 0; i < E; ++i) y[i] += w[k] * streams[k * E + i];
    return y;
}

Vec expand(const Vec& f, const Vec& old, const Mix& mix, size_t E, size_t S) {
    Vec out(S * E);
    for (size_t j = 0; j < S; ++j)
        for (size_t i = 0; i < E; ++i) {
            double v = mix.post[j] * f[i];
            for (size_t k = 0; k < S; ++k) v += mix.comb[k * S + j] * old[k * E + i];
            out[j * E + i] = v;
        }
    return out;
}

// The routing state the single-expert rule carries from row to row.
struct Routing {
    std::set<int> resident; // routed in any layer so far
    std::set<int> sticky;
};

Vec moe(const DeepSeekV4Model& m, const DeepSeekV4Shape& s, bool withExperts, int il, int32_t token, const Vec& x,
        Routing& routing) {
    const std::string b = "blk." + std::to_string(il) + ".";
    const size_t E = size_t(s.nEmbd), X = size_t(s.nExpert), ff = size_t(s.nFfExp);
    const Vec router = values(m, b + "ffn_gate_inp.weight"), bias = values(m, b + "exp_probs_b.bias");
    const Vec logit = matvec(router, x, X, E);
    Vec score(X), sel(X);
    for (size_t e = 0; e < X; ++e) {
        const double l = logit[e];
        score[e] = std::sqrt(std::max(l, 0.0) + std::log1p(std::exp(-std::fabs(l))));
        sel[e] = score[e] + bias[e];
    }
    std::vector<std::pair<int, double>> chosen;
    if (il < s.nHashLayers) {
        const Vec table = values(m, b + "ffn_gate_tid2eid.weight");
        for (int i = 0; i < s.nExpertUsed; ++i) {
            const int e = int(table[size_t(token) * size_t(s.nExpertUsed) + size_t(i)]);
            chosen.push_back({e, score[size_t(e)]});
        }
    } else {
        for (size_t e = 0; e < X; ++e)
            if (routing.resident.count(int(e))) sel[e] += double(0.0769611f);
        if (!routing.sticky.empty())
            for (int e : routing.sticky) sel[size_t(e)] *= 1.05;
        size_t best = 0;
        for (size_t e = 1; e < X; ++e)
            if (sel[e] > sel[best]) best = e;
        chosen.push_back({int(best), score[best]});
        routing.sticky.insert(int(best));
        routing.resident.insert(int(best));
    }
    double sum = 0;
    for (auto& c : chosen) sum += c.second;
    for (auto& c : chosen) c.second = c.second / std::max(sum, 6.103515625e-05) * kWeightsScale;

    Vec out(E, 0);
    if (withExperts) {
        const Vec up = values(m, b + "ffn_up_exps.weight"), gate = values(m, b + "ffn_gate_exps.weight");
        const Vec down = values(m, b + "ffn_down_exps.weight");
        for (const auto& [e, w] : chosen) {
            const Vec u = matvec(up, x, ff, E, size_t(e) * ff * E), g = matvec(gate, x, ff, E, size_t(e) * ff * E);
            Vec a(ff);
            for (size_t i = 0; i < ff; ++i) a[i] = w * std::clamp(u[i], -kClamp, kClamp) * silu(std::min(g[i], kClamp));
            const Vec d = matvec(down, a, E, ff, size_t(e) * E * ff);
            for (size_t i = 0; i < E; ++i) out[i] += d[i];
        }
    }
    const size_t fs = ff * size_t(std::max(1, s.sharedCount));
    const Vec su = values(m, b + "ffn_up_shexp.weight"), sg = values(m, b + "ffn_gate_shexp.weight");
    const Vec sd = values(m, b + "ffn_down_shexp.weight");
    const Vec u = matvec(su, x, fs, E), g = matvec(sg, x, fs, E);
    Vec h(fs);
    for (size_t i = 0; i < fs; ++i) h[i] = u[i] * silu(g[i]);
    const Vec d = matvec(sd, h, E, fs);
    for (size_t i = 0; i < E; ++i) out[i] += d[i];
    return out;
}

} // namespace

std::vector<double> referencePrefillLogits(const DeepSeekV4Model& m, const DeepSeekV4Shape& s, bool withExperts,
                                           const std::vector<int32_t>& tokens) {
    const size_t n = tokens.size(), E = size_t(s.nEmbd), S = size_t(s.nHc), H = size_t(s.nHead);
    const size_t D = size_t(s.headDim), Q = size_t(s.qRank), R = size_t(s.nRot), G = size_t(s.oGroups);
    const size_t Ro = size_t(s.oRank), V = size_t(s.nVocab);
    const double eps = s.rmsEps;
    if (n < 1 || n > 3) throw std::invalid_argument("reference: 1 to 3 tokens");

    const Vec emb = values(m, "token_embd.weight");
    std::vector<Vec> hidden(n, Vec(S * E));
    for (size_t t = 0; t < n; ++t)
        for (size_t k = 0; k < S; ++k)
            std::copy(emb.begin() + long(size_t(tokens[t]) * E), emb.begin() + long((size_t(tokens[t]) + 1) * E),
                      hidden[t].begin() + long(k * E));

    Routing routing;
    for (int il = 0; il < s.nLayer; ++il) {
        const std::string b = "blk." + std::to_string(il) + ".";
        const Vec attnNorm = values(m, b + "attn_norm.weight"), qaNorm = values(m, b + "attn_q_a_norm.weight");
        const Vec kvNorm = values(m, b + "attn_kv_a_norm.weight"), sinks = values(m, b + "attn_sinks.weight");
        const Vec wqa = values(m, b + "attn_q_a.weight"), wqb = values(m, b + "attn_q_b.weight");
        const Vec wkv = values(m, b + "attn_kv.weight");
        const Vec wa = values(m, b + "attn_output_a.weight"), wb = values(m, b + "attn_output_b.weight");

        std::vector<Mix> mixes(n);
        std::vector<Vec> q(n), kv(n);
        for (size_t t = 0; t < n; ++t) {
            mixes[t] = hcSplit(m, b + "hc_attn_", hidden[t], S, eps);
            const Vec xn = rmsnorm(weightedSum(hidden[t], mixes[t].pre, E), &attnNorm, eps);
            const Vec qn = rmsnorm(matvec(wqa, xn, Q, E), &qaNorm, eps);
            q[t] = matvec(wqb, qn, H * D, Q);
            for (size_t h = 0; h < H; ++h) {
                const Vec head = rmsnorm(Vec(q[t].begin() + long(h * D), q[t].begin() + long((h + 1) * D)), nullptr, eps);
                std::copy(head.begin(), head.end(), q[t].begin() + long(h * D));
                rope(q[t].data() + h * D, D, R, double(t));
            }
            kv[t] = rmsnorm(matvec(wkv, xn, D, E), &kvNorm, eps);
            rope(kv[t].data(), D, R, double(t));
            fp8(kv[t].data(), D, R);
        }
        for (size_t t = 0; t < n; ++t) {
            // Causal attention over the raw rows with one sink per head.
            Vec att(H * D, 0);
            for (size_t h = 0; h < H; ++h) {
                Vec sc(t + 1);
                double top = sinks[h];
                for (size_t j = 0; j <= t; ++j) {
                    double d = 0;
                    for (size_t i = 0; i < D; ++i) d += q[t][h * D + i] * kv[j][i];
                    sc[j] = d / std::sqrt(double(D));
                    top = std::max(top, sc[j]);
                }
                double den = std::exp(sinks[h] - top);
                for (double v : sc) den += std::exp(v - top);
                for (size_t j = 0; j <= t; ++j)
                    for (size_t i = 0; i < D; ++i) att[h * D + i] += std::exp(sc[j] - top) / den * kv[j][i];
                rope(att.data() + h * D, D, R, double(t));
            }
            // Grouped output projection: each group's heads through its slice, then the shared matrix.
            const size_t Eg = (H / G) * D;
            Vec mid(G * Ro);
            for (size_t g = 0; g < G; ++g) {
                const Vec in(att.begin() + long(g * Eg), att.begin() + long((g + 1) * Eg));
                const Vec part = matvec(wa, in, Ro, Eg, g * Ro * Eg);
                std::copy(part.begin(), part.end(), mid.begin() + long(g * Ro));
            }
            const Vec f = matvec(wb, mid, E, G * Ro);
            hidden[t] = expand(f, hidden[t], mixes[t], E, S);
        }
        const Vec ffnNorm = values(m, b + "ffn_norm.weight");
        for (size_t t = 0; t < n; ++t) {
            const Mix mix = hcSplit(m, b + "hc_ffn_", hidden[t], S, eps);
            const Vec xf = rmsnorm(weightedSum(hidden[t], mix.pre, E), &ffnNorm, eps);
            hidden[t] = expand(moe(m, s, withExperts, il, tokens[t], xf, routing), hidden[t], mix, E, S);
        }
    }

    // Head on the last position.
    const Vec& last = hidden[n - 1];
    const Vec hfn = values(m, "output_hc_fn.weight"), hs = values(m, "output_hc_scale.weight");
    const Vec hb = values(m, "output_hc_base.weight"), outNorm = values(m, "output_norm.weight");
    const Vec l = matvec(hfn, rmsnorm(last, nullptr, eps), S, S * E);
    Vec w(S);
    for (size_t k = 0; k < S; ++k) w[k] = kHcEps + sigmoid(l[k] * hs[0] + hb[k]);
    const Vec y = rmsnorm(weightedSum(last, w, E), &outNorm, eps);
    return matvec(values(m, "output.weight"), y, V, E);
}

} // namespace vivirov::test
