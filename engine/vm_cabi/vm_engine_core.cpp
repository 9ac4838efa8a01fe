#include "vm_engine_core.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sys/mman.h>

#include "common/engine_log.h"
#include "half.h"
#include "kivi_pos_codec.h"
#include "common/engine_env.h"
#include "utf8_lead.h"

namespace {

const char* const kMissingSuffix = "' missing (unsupported arch or corrupt GGUF)";

std::string layer_name(int32_t i, const char* suffix) { return "blk." + std::to_string(i) + "." + suffix; }

bool env_is(const char* name, const char* value) {
    return vm::env_value(name) == std::optional<std::string>(value);
}

} // namespace

VMEngine::VMEngine(const std::string& path) : file(path), tokenizer(file) {
    auto read_key = [&](const char* key, int32_t& field) {
        auto it = file.kv.find(key);
        if (it == file.kv.end()) return;
        double v = std::trunc(it->second);
        if (!(v >= -2147483648.0 && v <= 2147483647.0))
            throw std::runtime_error(std::string("VMEngine: hyperparameter ") + key + " out of range (corrupt GGUF)");
        field = int32_t(v);
    };
    read_key("qwen2.embedding_length", hidden);
    read_key("qwen2.attention.head_count", n_head);
    read_key("qwen2.attention.head_count_kv", n_head_kv);
    read_key("qwen2.block_count", n_layer);
    head_dim = n_head < 1 ? 128 : hidden / n_head;
    q_dim = n_head * head_dim;
    kv_dim = n_head_kv * head_dim;

    // The forward pass indexes KV heads by h / (n_head / n_head_kv) and rotates
    // head halves; other shapes would divide by zero or read out of bounds.
    if (hidden < 1 || n_head < 1 || n_head_kv < 1 || n_head % n_head_kv != 0 || head_dim < 2 || head_dim % 2 != 0 ||
        n_layer < 0)
        throw std::runtime_error("VMEngine: unsupported model shape (hidden " + std::to_string(hidden) + ", heads " +
                                 std::to_string(n_head) + ", kv heads " + std::to_string(n_head_kv) + ", layers " +
                                 std::to_string(n_layer) + ")");
    if (hidden > kMaxHidden || q_dim > kMaxQDim || kv_dim > kMaxKVDim)
        throw std::runtime_error("VMEngine: model too large for this engine (hidden " + std::to_string(hidden) +
                                 ", q_dim " + std::to_string(q_dim) + ", kv_dim " + std::to_string(kv_dim) +
                                 "; at most 1536, 1536 and 256)");

    tok_embd = getW("token_embd.weight");
    vocab_size = int32_t(uint32_t(tok_embd.rows));
    output_norm = getVec("output_norm.weight");
    check_shapes(-1);
    layers.reserve(size_t(n_layer));
    for (int32_t i = 0; i < n_layer; ++i) {
        Layer L;
        L.attn_norm = getVec(layer_name(i, "attn_norm.weight"));
        L.ffn_norm = getVec(layer_name(i, "ffn_norm.weight"));
        L.wq = getW(layer_name(i, "attn_q.weight"));
        L.wk = getW(layer_name(i, "attn_k.weight"));
        L.wv = getW(layer_name(i, "attn_v.weight"));
        L.wo = getW(layer_name(i, "attn_output.weight"));
        L.w_gate = getW(layer_name(i, "ffn_gate.weight"));
        L.w_up = getW(layer_name(i, "ffn_up.weight"));
        L.w_down = getW(layer_name(i, "ffn_down.weight"));
        L.bq = getVec(layer_name(i, "attn_q.bias"));
        L.bk = getVec(layer_name(i, "attn_k.bias"));
        L.bv = getVec(layer_name(i, "attn_v.bias"));
        layers.push_back(std::move(L));
        check_shapes(i);
    }

    size_t widest = size_t(std::max(hidden, q_dim));
    for (const Layer& L : layers) widest = std::max(widest, size_t(L.w_down.cols));
    act_q8.assign(widest, 0);
    act_q8_perm.assign(widest, 0);

    build_byte_decoder();
    init_session(session, n_ctx, false, false);
    if (const auto v = vm::env_value("VIVIROV_VM_PREFIX_CACHE")) prefix_cache = *v != "0";
    pin_resident();
}

VMEngine::~VMEngine() {
    for (const auto& [addr, len] : pinned) ::munlock(addr, len);
}

VMEngine::Tensor VMEngine::getW(const std::string& name) const {
    const GGUFTensor* t = file.find(name);
    if (t == nullptr) throw std::runtime_error("VMEngine: required tensor '" + name + kMissingSuffix);
    Tensor out;
    out.data = dequant(t);
    out.cols = t->dims[0];
    out.rows = t->dims.size() >= 2 ? t->dims[1] : out.data.size();
    return out;
}

std::vector<float> VMEngine::getVec(const std::string& name) const {
    const GGUFTensor* t = file.find(name);
    if (t == nullptr) throw std::runtime_error("VMEngine: required tensor '" + name + kMissingSuffix);
    return dequant(t);
}

std::vector<float> VMEngine::dequant(const GGUFTensor* t) const {
    if (t == nullptr) throw std::runtime_error("VMEngine: dequant of missing tensor (unsupported arch or corrupt GGUF)");
    if (t->dims.empty()) throw std::runtime_error("VMEngine: tensor with empty dims (corrupt GGUF)");
    if (t->type != gguf::kGgmlF32 && t->type != gguf::kGgmlF16 && t->type != gguf::kGgmlQ8_0)
        throw std::runtime_error("VMEngine: unsupported tensor quant type " + std::to_string(t->type) +
                                 " (this engine dequantizes F32/F16/Q8_0 only)");
    // The reader has checked that the tensor's bytes for this shape lie in the file.
    uint64_t n = 1;
    for (uint64_t d : t->dims) n *= d;
    std::vector<float> out(size_t(n), 0.0f);
    const uint8_t* p = t->data;
    if (t->type == gguf::kGgmlF32) {
        std::memcpy(out.data(), p, size_t(n) * 4);
    } else if (t->type == gguf::kGgmlF16) {
        for (uint64_t i = 0; i < n; ++i) {
            uint16_t h;
            std::memcpy(&h, p + 2 * i, 2);
            out[size_t(i)] = vm::half_to_float(h);
        }
    } else {
        for (uint64_t b = 0; b < n / 32; ++b) {
            const uint8_t* block = p + 34 * b;
            uint16_t dh;
            std::memcpy(&dh, block, 2);
            float d = vm::half_to_float(dh);
            for (int i = 0; i < 32; ++i) out[size_t(b * 32 + uint64_t(i))] = d * float(int8_t(block[2 + i]));
        }
    }
    return out;
}

// The forward pass trusts these shapes; a file that disagrees would make it
// read beyond its buffers. Layer −1 checks the embedding and the final norm.
void VMEngine::check_shapes(int32_t layer) const {
    auto expect = [](const std::string& name, const Tensor& t, uint64_t rows, uint64_t cols) {
        if (t.rows != rows || t.cols != cols || t.data.size() != rows * cols)
            throw std::runtime_error("VMEngine: tensor '" + name + "' has shape " + std::to_string(t.rows) + "x" +
                                     std::to_string(t.cols) + ", expected " + std::to_string(rows) + "x" +
                                     std::to_string(cols) + " (corrupt GGUF)");
    };
    auto expect_len = [](const std::string& name, const std::vector<float>& v, uint64_t n) {
        if (v.size() != n)
            throw std::runtime_error("VMEngine: tensor '" + name + "' has " + std::to_string(v.size()) +
                                     " values, expected " + std::to_string(n) + " (corrupt GGUF)");
    };
    const uint64_t H = uint64_t(hidden), Q = uint64_t(q_dim), KV = uint64_t(kv_dim);
    if (layer < 0) {
        if (tok_embd.rows < 1 || tok_embd.rows > uint64_t(INT32_MAX))
            throw std::runtime_error("VMEngine: tensor 'token_embd.weight' has " + std::to_string(tok_embd.rows) +
                                     " rows (corrupt GGUF)");
        expect("token_embd.weight", tok_embd, tok_embd.rows, H);
        expect_len("output_norm.weight", output_norm, H);
        return;
    }
    {
        const int32_t i = layer;
        const Layer& L = layers[size_t(i)];
        const uint64_t F = L.w_gate.rows;
        expect_len(layer_name(i, "attn_norm.weight"), L.attn_norm, H);
        expect_len(layer_name(i, "ffn_norm.weight"), L.ffn_norm, H);
        expect(layer_name(i, "attn_q.weight"), L.wq, Q, H);
        expect(layer_name(i, "attn_k.weight"), L.wk, KV, H);
        expect(layer_name(i, "attn_v.weight"), L.wv, KV, H);
        expect(layer_name(i, "attn_output.weight"), L.wo, H, Q);
        expect(layer_name(i, "ffn_gate.weight"), L.w_gate, F, H);
        expect(layer_name(i, "ffn_up.weight"), L.w_up, F, H);
        expect(layer_name(i, "ffn_down.weight"), L.w_down, H, F);
        expect_len(layer_name(i, "attn_q.bias"), L.bq, Q);
        expect_len(layer_name(i, "attn_k.bias"), L.bk, KV);
        expect_len(layer_name(i, "attn_v.bias"), L.bv, KV);
    }
}

void VMEngine::build_byte_decoder() {
    uint32_t next = 256;
    for (uint32_t b = 0; b < 256; ++b) {
        bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
        byte_decoder[printable ? b : next++] = uint8_t(b);
    }
    stop_tokens = {151643, 151645};
}

void VMEngine::init_session(Session& s, int32_t ctx, bool int8_kv, bool kivi) {
    s.capacity = ctx;
    s.history.clear();
    s.int8_kv = int8_kv;
    s.kivi = kivi;
    const size_t L = size_t(n_layer), C = size_t(ctx), KV = size_t(kv_dim), HK = size_t(n_head_kv);
    auto per_layer = [&](auto& list, size_t n) {
        list.assign(L, {});
        for (auto& row : list) row.assign(n, 0);
    };
    if (kivi) {
        kivi::Params p = kivi::params_from_env(head_dim, n_ctx, ctx);
        s.n_outliers = p.n_outliers;
        s.window = p.window;
        size_t n_out = size_t(s.n_outliers);
        per_layer(s.k_codes, size_t(head_dim / 4) * C * HK + 8);
        per_layer(s.v_codes, size_t(head_dim / 4) * C * HK + 8);
        for (auto* list : {&s.k_scale, &s.v_scale, &s.k_zero, &s.v_zero}) per_layer(*list, HK * C);
        for (auto* list : {&s.k_out_pos, &s.v_out_pos, &s.k_out_val, &s.v_out_val}) per_layer(*list, n_out * C * HK);
        if (s.window >= 1) {
            per_layer(s.k_window, KV * size_t(s.window));
            per_layer(s.v_window, KV * size_t(s.window));
        }
    } else if (int8_kv) {
        per_layer(s.k_q8, KV * C);
        per_layer(s.v_q8, KV * C);
        per_layer(s.k_q8_scale, HK * C);
        per_layer(s.v_q8_scale, HK * C);
    } else {
        per_layer(s.k_f32, KV * C);
        per_layer(s.v_f32, KV * C);
    }
}

void VMEngine::pin_resident() {
    if (env_is("VIVIROV_VM_MLOCK", "0")) return;
    if (env_is("VIVIROV_LOW_RAM", "1")) {
        vm::log_line("[vm-engine] pin_resident: SKIPPED (VIVIROV_LOW_RAM=1 — weights left pageable)");
        return;
    }
    double wired = 0, failed = 0;
    auto wire = [&](const std::vector<float>& v) {
        if (v.empty()) return;
        void* addr = const_cast<float*>(v.data());
        size_t len = v.size() * sizeof(float);
        // Best effort: an ordinary user's lock limit is small, and a refusal
        // only leaves the weights pageable.
        if (::mlock(addr, len) == 0) {
            pinned.emplace_back(addr, len);
            wired += double(len);
        } else {
            failed += double(len);
        }
    };
    wire(tok_embd.data);
    for (const Layer& L : layers)
        for (const Tensor* t : {&L.wq, &L.wk, &L.wv, &L.wo, &L.w_gate, &L.w_up, &L.w_down}) wire(t->data);
    vm::log_line("[vm-engine] pin_resident: wired %.2f GB in %zu ranges (failed %.0f MB)", wired / 1e9, pinned.size(),
                 failed / 1e6);
}

bool VMEngine::request_stop() {
    const uint64_t id = running_generation.load();
    if (id == 0) return false;
    stop_generation.store(id);
    return true;
}

int32_t VMEngine::generate(const std::string& prompt, int32_t max_new_tokens,
                           const std::function<void(const std::string&)>& on_piece, bool* stopped) {
    std::lock_guard<std::mutex> lock(gen_mu);
    const uint64_t id = generation_serial.fetch_add(1) + 1;
    running_generation.store(id);
    struct Ending {
        std::atomic<uint64_t>& running;
        ~Ending() { running.store(0); }
    } ending{running_generation};
    if (stopped) *stopped = false;
    auto stop_asked = [&] {
        if (stop_generation.load() != id) return false;
        if (stopped) *stopped = true;
        return true;
    };
    std::vector<int32_t> ids = tokenizer.encode(prompt);
    if (ids.empty()) return 0;
    // Ids outside the embedding (including −1 for a symbol the vocabulary
    // lacks) must never reach the forward pass.
    for (int32_t id : ids)
        if (id < 0 || id >= vocab_size)
            throw std::runtime_error("VMEngine: prompt token " + std::to_string(id) + " outside the vocabulary of " +
                                     std::to_string(vocab_size));
    // A prompt the context cannot hold would leave no room for an answer.
    if (ids.size() > size_t(std::min(n_ctx, session.capacity)))
        throw std::runtime_error("VMEngine: prompt of " + std::to_string(ids.size()) +
                                 " tokens exceeds the context of " + std::to_string(std::min(n_ctx, session.capacity)));

    const size_t len = ids.size();
    size_t common = 0;
    if (prefix_cache) {
        const auto& h = session.history;
        while (common < h.size() && common < len && h[common] == ids[common]) ++common;
    }
    size_t start = std::min(common, len - 1);
    // A windowed KIVI session keeps each recent position in its window slot and
    // encodes a position when a later one takes the slot; re-running stored
    // positions past the window would encode the wrong rows, so it starts over.
    if (session.kivi && session.window >= 1 && start < session.history.size() &&
        std::min(session.history.size(), len) > size_t(session.window))
        start = 0;

    const int32_t limit = std::min(n_ctx, session.capacity);
    std::vector<float> logits;
    int32_t pos = int32_t(start);
    // The session keeps only the positions that ran, so a stopped prompt is
    // resumed from where it ended by the next call's prefix reuse.
    session.history.assign(ids.begin(), ids.begin() + ptrdiff_t(std::min(start, session.history.size())));
    for (; size_t(pos) < len && pos < limit; ++pos) {
        if (stop_asked()) return 0;
        forward_token_into(session, ids[size_t(pos)], pos, logits);
        session.history.push_back(ids[size_t(pos)]);
    }

    int32_t delivered = 0;
    for (int32_t step = 0; step < max_new_tokens && pos < limit; ++step) {
        if (stop_asked()) break;
        int32_t next = 0;
        if (logits.size() >= 2) {
            float best = logits[0];
            for (size_t i = 1; i < logits.size(); ++i)
                if (logits[i] > best) {
                    best = logits[i];
                    next = int32_t(i);
                }
        }
        if (std::find(stop_tokens.begin(), stop_tokens.end(), next) != stop_tokens.end()) break;
        on_piece(detok_id(next));
        ++delivered;
        forward_token_into(session, next, pos, logits);
        session.history.push_back(next);
        ++pos;
    }
    return delivered;
}

std::string VMEngine::detok_id(int32_t id) const {
    if (id < 0 || size_t(id) >= file.tokens.size()) return {};
    const std::string& t = file.tokens[size_t(id)];
    const auto* p = reinterpret_cast<const uint8_t*>(t.data());
    std::string out;
    size_t i = 0;
    while (i < t.size()) {
        vm::Utf8Lead l = vm::utf8_lead(p[i]); // an unusual lead reads as four bytes
        if (l.len > t.size() - i) break;
        uint32_t code = vm::utf8_code(p + i, l, l.len);
        i += l.len;
        auto it = byte_decoder.find(code);
        if (it != byte_decoder.end()) out += char(it->second);
    }
    return out;
}
