#pragma once
// Small Qwen2-shaped models written as real GGUF files, with a plain
// double-precision reference of the same model to check the engine against.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/Kernels/ReferenceDecoder.h"
#include "tests/Tokenizer/TokenizerFixture.h"
#include "tests/support/GGUFWriter.h"
#include "tests/support/RandomBlocks.h"

namespace vivirov::test {

struct QwenShape {
    int hidden = 64;
    int heads = 4;
    int kvHeads = 2;
    int ff = 96;
    int layers = 2;
    int vocab = 320;
    uint32_t type = GGUFWriter::GF32; // type of the weight matrices
    // Type of token_embd.weight when it differs from the matrices' (the
    // embedding reads only F32, F16, Q5_0 and Q8_0).
    int embdType = -1;
    // Writes an own "output.weight" (of `type`) instead of tying the logits to
    // the embedding.
    bool outputWeight = false;
    float scale = 0.15f;
    uint32_t seed = 1;
};

class QwenModel {
public:
    struct Layer {
        std::vector<double> attnNorm, ffnNorm, wq, wk, wv, wo, gate, up, down, bq, bk, bv;
    };

    explicit QwenModel(const QwenShape& s) : shape(s) {
        std::mt19937 rng(s.seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        auto rnd = [&](size_t n, float scale, float offset = 0.0f) {
            std::vector<float> v(n);
            for (auto& x : v) x = offset + scale * u(rng);
            return v;
        };
        const size_t H = size_t(s.hidden), Q = H, KV = size_t(s.kvHeads) * H / size_t(s.heads), F = size_t(s.ff);
        embd = rnd(size_t(s.vocab) * H, 1.0f);
        outNorm = rnd(H, 0.2f, 1.0f);
        if (s.outputWeight) out = rnd(size_t(s.vocab) * H, s.scale);
        for (int l = 0; l < s.layers; ++l) {
            RawLayer r;
            r.attnNorm = rnd(H, 0.2f, 1.0f);
            r.ffnNorm = rnd(H, 0.2f, 1.0f);
            r.wq = rnd(Q * H, s.scale);
            r.wk = rnd(KV * H, s.scale);
            r.wv = rnd(KV * H, s.scale);
            r.wo = rnd(H * Q, s.scale);
            r.gate = rnd(F * H, s.scale);
            r.up = rnd(F * H, s.scale);
            r.down = rnd(H * F, s.scale);
            r.bq = rnd(Q, 0.1f);
            r.bk = rnd(KV, 0.1f);
            r.bv = rnd(KV, 0.1f);
            raw.push_back(r);
        }
        // Byte symbols, a few merged words, then unique fillers up to the vocabulary size.
        for (int b = 0; b < 256; ++b) tokens.push_back(byteSymbol((unsigned char)b));
        for (const char* w : {"hello", " world", " the", "user"}) {
            std::string acc = byteSymbol((unsigned char)w[0]);
            for (const char* p = w + 1; *p; ++p) {
                std::string next = byteSymbol((unsigned char)*p);
                merges.push_back(acc + " " + next);
                acc += next;
                tokens.push_back(acc);
            }
        }
        while (int(tokens.size()) < s.vocab) tokens.push_back("<f" + std::to_string(tokens.size()) + ">");
        tokens.resize(size_t(s.vocab));
    }

    // What the engine will see after dequantisation, as doubles.
    std::vector<double> seen(const std::vector<float>& v, uint32_t type) const {
        std::string bytes = encoded(v, type);
        std::vector<double> out(v.size());
        if (type == GGUFWriter::GF32) {
            for (size_t i = 0; i < v.size(); ++i) out[i] = v[i];
        } else if (type == GGUFWriter::GF16) {
            for (size_t i = 0; i < v.size(); ++i) {
                uint16_t h;
                std::memcpy(&h, bytes.data() + 2 * i, 2);
                out[i] = GGUFWriter::f16Value(h);
            }
        } else if (type != GGUFWriter::GQ8_0) {
            std::vector<float> f = refDecode(type, reinterpret_cast<const uint8_t*>(bytes.data()), v.size());
            for (size_t i = 0; i < v.size(); ++i) out[i] = f[i];
        } else {
            for (size_t b = 0; b < v.size() / 32; ++b) {
                uint16_t h;
                std::memcpy(&h, bytes.data() + 34 * b, 2);
                double d = GGUFWriter::f16Value(h);
                for (size_t i = 0; i < 32; ++i) out[b * 32 + i] = d * double(int8_t(bytes[34 * b + 2 + i]));
            }
        }
        return out;
    }

    // Q5_0 and the K-quants have no encoder here: their matrices are random
    // valid blocks, seeded by the values they stand for.
    static std::string encoded(const std::vector<float>& v, uint32_t type) {
        if (type == GGUFWriter::GF16) return GGUFWriter::f16Bytes(v);
        if (type == GGUFWriter::GQ8_0) return GGUFWriter::q8_0Bytes(v);
        if (type == GGUFWriter::GQ5_0 || type == GGUFWriter::GQ4_K || type == GGUFWriter::GQ6_K) {
            uint32_t seed = uint32_t(v.size());
            for (size_t i = 0; i < v.size() && i < 8; ++i) {
                uint32_t bits;
                std::memcpy(&bits, &v[i], 4);
                seed = seed * 31u + bits;
            }
            return randomBlocks(type, v.size(), seed);
        }
        return GGUFWriter::f32Bytes(v);
    }

    uint32_t embdType() const { return shape.embdType < 0 ? shape.type : uint32_t(shape.embdType); }

    // The writer for this model; `skip` names a tensor to leave out, and
    // `typeOf` overrides the type of single tensors.
    GGUFWriter writer(const std::set<std::string>& skip = {}, const std::map<std::string, uint32_t>& typeOf = {},
                      bool keys = true) const {
        GGUFWriter w;
        if (keys) {
            w.str("general.architecture", "qwen2")
                .u32("qwen2.embedding_length", uint32_t(shape.hidden))
                .u32("qwen2.attention.head_count", uint32_t(shape.heads))
                .u32("qwen2.attention.head_count_kv", uint32_t(shape.kvHeads))
                .u32("qwen2.block_count", uint32_t(shape.layers))
                .u32("qwen2.feed_forward_length", uint32_t(shape.ff));
        }
        w.strings("tokenizer.ggml.tokens", tokens).strings("tokenizer.ggml.merges", merges);
        const uint64_t H = uint64_t(shape.hidden), KV = uint64_t(kvDim()), F = uint64_t(shape.ff);
        auto put = [&](const std::string& name, std::vector<uint64_t> dims, const std::vector<float>& v, uint32_t type) {
            if (skip.count(name)) return;
            auto it = typeOf.find(name);
            uint32_t t = it == typeOf.end() ? type : it->second;
            w.tensor(name, dims, t, encoded(v, t));
        };
        put("token_embd.weight", {H, uint64_t(shape.vocab)}, embd, embdType());
        put("output_norm.weight", {H}, outNorm, GGUFWriter::GF32);
        if (shape.outputWeight) put("output.weight", {H, uint64_t(shape.vocab)}, out, shape.type);
        for (int l = 0; l < shape.layers; ++l) {
            const RawLayer& r = raw[size_t(l)];
            std::string p = "blk." + std::to_string(l) + ".";
            put(p + "attn_norm.weight", {H}, r.attnNorm, GGUFWriter::GF32);
            put(p + "ffn_norm.weight", {H}, r.ffnNorm, GGUFWriter::GF32);
            put(p + "attn_q.weight", {H, H}, r.wq, shape.type);
            put(p + "attn_k.weight", {H, KV}, r.wk, shape.type);
            put(p + "attn_v.weight", {H, KV}, r.wv, shape.type);
            put(p + "attn_output.weight", {H, H}, r.wo, shape.type);
            put(p + "ffn_gate.weight", {H, F}, r.gate, shape.type);
            put(p + "ffn_up.weight", {H, F}, r.up, shape.type);
            put(p + "ffn_down.weight", {F, H}, r.down, shape.type);
            put(p + "attn_q.bias", {H}, r.bq, GGUFWriter::GF32);
            put(p + "attn_k.bias", {KV}, r.bk, GGUFWriter::GF32);
            put(p + "attn_v.bias", {KV}, r.bv, GGUFWriter::GF32);
        }
        return w;
    }

    int kvDim() const { return shape.kvHeads * shape.hidden / shape.heads; }

    // Logits of every position of `ids`, computed in double with plain loops.
    std::vector<std::vector<double>> referenceLogits(const std::vector<int>& ids,
                                                     std::vector<std::vector<double>>* finalNormed = nullptr) const {
        const int H = shape.hidden, nh = shape.heads, nkv = shape.kvHeads, hd = H / nh, KV = kvDim(), F = shape.ff;
        const std::vector<double> E = seen(embd, embdType());
        const std::vector<double> O = shape.outputWeight ? seen(out, shape.type) : E;
        const std::vector<double> on = seen(outNorm, GGUFWriter::GF32);
        std::vector<Layer> L;
        for (const RawLayer& r : raw) {
            Layer d;
            d.attnNorm = seen(r.attnNorm, GGUFWriter::GF32);
            d.ffnNorm = seen(r.ffnNorm, GGUFWriter::GF32);
            d.wq = seen(r.wq, shape.type);
            d.wk = seen(r.wk, shape.type);
            d.wv = seen(r.wv, shape.type);
            d.wo = seen(r.wo, shape.type);
            d.gate = seen(r.gate, shape.type);
            d.up = seen(r.up, shape.type);
            d.down = seen(r.down, shape.type);
            d.bq = seen(r.bq, GGUFWriter::GF32);
            d.bk = seen(r.bk, GGUFWriter::GF32);
            d.bv = seen(r.bv, GGUFWriter::GF32);
            L.push_back(d);
        }
        auto norm = [&](const std::vector<double>& x, const std::vector<double>& w) {
            double s = 0;
            for (double v : x) s += v * v;
            double r = 1.0 / std::sqrt(s / double(x.size()) + 1e-6);
            std::vector<double> y(x.size());
            for (size_t i = 0; i < x.size(); ++i) y[i] = x[i] * r * w[i];
            return y;
        };
        auto matvec = [](const std::vector<double>& W, int rows, int cols, const std::vector<double>& x) {
            std::vector<double> y(size_t(rows), 0.0);
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < cols; ++c) y[size_t(r)] += W[size_t(r) * size_t(cols) + size_t(c)] * x[size_t(c)];
            return y;
        };
        auto rotate = [&](std::vector<double>& v, int heads, int pos) {
            for (int h = 0; h < heads; ++h)
                for (int i = 0; i < hd / 2; ++i) {
                    double ang = pos * std::pow(1000000.0, -2.0 * i / hd);
                    double& a = v[size_t(h * hd + i)];
                    double& b = v[size_t(h * hd + i + hd / 2)];
                    double na = a * std::cos(ang) - b * std::sin(ang), nb = b * std::cos(ang) + a * std::sin(ang);
                    a = na;
                    b = nb;
                }
        };
        std::vector<std::vector<std::vector<double>>> keys(L.size()), values(L.size());
        std::vector<std::vector<double>> logits;
        for (size_t pos = 0; pos < ids.size(); ++pos) {
            std::vector<double> x(E.begin() + long(ids[pos]) * H, E.begin() + long(ids[pos] + 1) * H);
            for (size_t l = 0; l < L.size(); ++l) {
                const Layer& d = L[l];
                std::vector<double> xn = norm(x, d.attnNorm);
                std::vector<double> q = matvec(d.wq, H, H, xn), k = matvec(d.wk, KV, H, xn), v = matvec(d.wv, KV, H, xn);
                for (int i = 0; i < H; ++i) q[size_t(i)] += d.bq[size_t(i)];
                for (int i = 0; i < KV; ++i) k[size_t(i)] += d.bk[size_t(i)], v[size_t(i)] += d.bv[size_t(i)];
                rotate(q, nh, int(pos));
                rotate(k, nkv, int(pos));
                keys[l].push_back(k);
                values[l].push_back(v);
                std::vector<double> att(size_t(H), 0.0);
                for (int h = 0; h < nh; ++h) {
                    int g = h / (nh / nkv);
                    std::vector<double> sc(pos + 1);
                    double m = -1e300;
                    for (size_t t = 0; t <= pos; ++t) {
                        double dot = 0;
                        for (int i = 0; i < hd; ++i) dot += q[size_t(h * hd + i)] * keys[l][t][size_t(g * hd + i)];
                        sc[t] = dot / std::sqrt(double(hd));
                        m = std::max(m, sc[t]);
                    }
                    double sum = 0;
                    for (double& s : sc) sum += (s = std::exp(s - m));
                    for (size_t t = 0; t <= pos; ++t)
                        for (int i = 0; i < hd; ++i)
                            att[size_t(h * hd + i)] += sc[t] / sum * values[l][t][size_t(g * hd + i)];
                }
                std::vector<double> o = matvec(d.wo, H, H, att);
                for (int i = 0; i < H; ++i) x[size_t(i)] += o[size_t(i)];
                xn = norm(x, d.ffnNorm);
                std::vector<double> g = matvec(d.gate, F, H, xn), u = matvec(d.up, F, H, xn);
                for (int i = 0; i < F; ++i) g[size_t(i)] = g[size_t(i)] / (1.0 + std::exp(-g[size_t(i)])) * u[size_t(i)];
                std::vector<double> dn = matvec(d.down, H, F, g);
                for (int i = 0; i < H; ++i) x[size_t(i)] += dn[size_t(i)];
            }
            std::vector<double> xn = norm(x, on);
            if (finalNormed) finalNormed->push_back(xn);
            logits.push_back(matvec(O, shape.vocab, H, xn));
        }
        return logits;
    }

    QwenShape shape;
    std::vector<float> embd, outNorm, out;
    std::vector<std::string> tokens, merges;

private:
    struct RawLayer {
        std::vector<float> attnNorm, ffnNorm, wq, wk, wv, wo, gate, up, down, bq, bk, bv;
    };
    std::vector<RawLayer> raw;
};

} // namespace vivirov::test
