// The dense weight walls: the attention matrices every token reads are kept
// locked in memory, and optionally copied to F32 (a file-backed wall reused
// across runs, anonymous copies of the shared experts and the head, and the
// progressive cache of the batched decode), registered in f32_dense where
// the matrix products find them.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/engine_log.h"
#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/ggml_blocks.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

namespace {

constexpr uint64_t kPage = 16384;
constexpr double kGiB = 1073741824.0;
constexpr uint32_t kWillneedEvery = 64; // requests per read-ahead of a layer
const char* const kWallNames[4] = {"attn_q_b.weight", "attn_output_a.weight", "attn_output_b.weight",
                                   "attn_compressor_kv.weight"};

struct Range {
    void* start = nullptr;
    size_t len = 0;
};

// The tensor's bytes widened to whole 16 KiB pages.
Range pages_of(const void* p, uint64_t nbytes) {
    const auto a = reinterpret_cast<uintptr_t>(p);
    const uintptr_t start = a / kPage * kPage;
    const uint64_t len = ((a % kPage) + nbytes + kPage - 1) / kPage * kPage;
    return {reinterpret_cast<void*>(start), size_t(len)};
}

bool env_is(const char* name, const char* value) {
    const char* v = std::getenv(name);
    return v && std::strcmp(v, value) == 0;
}

bool env_starts_1(const char* name) {
    const char* v = std::getenv(name);
    return v && v[0] == '1';
}

void touch_pages(const void* p, uint64_t len) {
    const auto* b = static_cast<const volatile uint8_t*>(p);
    for (uint64_t off = 0; off < len; off += kPage) (void)b[off];
    if (len) (void)b[len - 1];
}

bool f32_mlock_switch() {
    static const bool on = env_starts_1("VIVIROV_F32_MLOCK");
    return on;
}

// Dequantises a whole tensor, or row by row when the whole-tensor decode
// refuses and the rows are whole blocks.
bool dequant_rows(const GGUFTensor* t, int64_t rows, int64_t cols, float* dst) {
    if (vm::dequant_tensor(t->type, t->data, dst, uint64_t(rows * cols))) return true;
    const GgmlBlock b = ggml_block(t->type);
    if (!b.elements || cols % b.elements) return false;
    for (int64_t r = 0; r < rows; ++r)
        if (!vm::dequant_tensor(t->type, t->data + uint64_t(r) * ggml_row_bytes(t->type, uint64_t(cols)),
                                dst + r * cols, uint64_t(cols)))
            return false;
    return true;
}

} // namespace

bool ZOV4Forward::is_dense_wall_tensor_(const GGUFTensor* t) {
    if (!t) return false;
    if (t->name.find("indexer.") != std::string::npos) return false;
    for (const char* n : kWallNames)
        if (t->name.find(n) != std::string::npos) return true;
    return false;
}

void ZOV4Forward::pin_layer_dense_q8_(int il) {
    if (il < 0 || il >= n_layer) return;
    for (const char* name : kWallNames) {
        const GGUFTensor* t = wl_opt(il, name);
        if (!t || !t->data || !t->nbytes) continue;
        const Range r = pages_of(t->data, t->nbytes);
        ::madvise(r.start, r.len, MADV_WILLNEED);
        touch_pages(t->data, t->nbytes);
    }
}

void ZOV4Forward::advise_layer_dense_willneed_(int il) {
    if (il < 0 || il >= n_layer) return;
    // Each request walks every page of the layer's weights in the kernel,
    // which costs a decode step more than it gains once the pages are
    // resident: a layer is advised on its first request and then on every
    // 64th.
    if (willneed_calls.size() != size_t(n_layer)) willneed_calls.assign(size_t(n_layer), 0);
    if (willneed_calls[size_t(il)]++ % kWillneedEvery != 0) return;
    static const char* const names[7] = {kWallNames[0], kWallNames[1], kWallNames[2], kWallNames[3],
                                         "ffn_up_shexp.weight", "ffn_gate_shexp.weight", "ffn_down_shexp.weight"};
    for (const char* name : names) {
        const GGUFTensor* t = wl_opt(il, name);
        if (!t || !t->data || !t->nbytes) continue;
        const Range r = pages_of(t->data, t->nbytes);
        ::madvise(r.start, r.len, MADV_WILLNEED);
    }
}

void ZOV4Forward::ensure_dense_q8_wall_pinned_() {
    if (q8_wall_pinned) return;
    for (int il = 0; il < n_layer; ++il) pin_layer_dense_q8_(il);
    int attempts = 0;
    if (!env_is("VIVIROV_MLOCK_WALL", "0") && n_layer > 0)
        for (int il = 0; il < n_layer; ++il)
            for (const char* name : kWallNames) {
                const GGUFTensor* t = wl_opt(il, name);
                if (!t) continue;
                ++attempts;
                if (!t->data || !t->nbytes) continue;
                const Range r = pages_of(t->data, t->nbytes);
                if (r.start && r.len) ::mlock(r.start, r.len);
            }
    q8_wall_pinned = true;
    ensure_decode_arena_();
    std::fprintf(stderr,
                 "[PHASE-C] dense Q8 wall PINNED+MLOCK: %d layers mlock_attempts=%d (attn_q_b + attn_output_a/b + "
                 "compressor_kv only — proven 4+ TPS). No MS_INVALIDATE/DONTNEED on dense wall.\n",
                 n_layer, attempts);
    ensure_shexp_lm_f32_();
    if (env_starts_1("VIVIROV_DENSIFY"))
        ensure_dense_f32_wall_();
    else
        f32_wall_done = true;
}

int ZOV4Forward::f32_copy_(const GGUFTensor* t, int64_t rows, int64_t cols, const char* tag) {
    if (!t || cols < 1 || rows < 1 || !t->data) return 0;
    if (f32_dense.count(t->data)) return 1;
    const size_t len = size_t(rows * cols) * sizeof(float);
    void* m = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "[DENSIFY] mmap %s %.2f GiB failed errno=%d\n", tag, double(len) / kGiB, errno);
        return 0;
    }
    if (!dequant_rows(t, rows, cols, static_cast<float*>(m))) {
        ::munmap(m, len);
        return 0;
    }
    if (f32_mlock_switch())
        ::mlock(m, len);
    else
        touch_pages(m, len);
    f32_dense[t->data] = {static_cast<float*>(m), rows, cols, rows * cols};
    f32_bytes += len;
    return 1;
}

void ZOV4Forward::ensure_shexp_lm_f32_() {
    const bool shexp = env_is("VIVIROV_SHEXP_F32", "1"), lm = env_is("VIVIROV_LM_F32", "1");
    if (!shexp && !lm) return;
    const auto t0 = std::chrono::steady_clock::now();
    int tensors = 0, head = 0;
    if (shexp) {
        const int64_t F = n_ff_shexp;
        for (int il = 0; il < n_layer; ++il) {
            tensors += f32_copy_(wl_opt(il, "ffn_up_shexp.weight"), F, n_embd, "up_shexp");
            tensors += f32_copy_(wl_opt(il, "ffn_gate_shexp.weight"), F, n_embd, "gate_shexp");
            tensors += f32_copy_(wl_opt(il, "ffn_down_shexp.weight"), n_embd, F, "down_shexp");
        }
    }
    if (lm) head = f32_copy_(global_tensor("output.weight"), n_vocab, n_embd, "lm_head");
    std::fprintf(stderr,
                 "[DENSIFY] shexp_f32 tensors=%d lm=%d total=%.2f GiB build=%.2fs (HIL: shexp 5.2× lm 3.5× when "
                 "resident)\n",
                 tensors, head, double(f32_bytes) / kGiB,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

void ZOV4Forward::progressive_f32_cache_layer_(int il) {
    static int enabled = -1;
    if (enabled < 0) {
        const char* v = std::getenv("VIVIROV_PROG_F32");
        enabled = v && v[0] == '1' ? 1 : 0;
    }
    if (!enabled) return;
    if (prog_f32_budget == 0) {
        const char* v = std::getenv("VIVIROV_PROG_F32_GB");
        char* end = nullptr;
        const double gb = v ? std::strtod(v, &end) : 0.0;
        if (v && end != v && gb > 0) {
            prog_f32_budget = uint64_t(gb * 1073741824.0);
            if (prog_f32_budget <= 67108864ULL) prog_f32_budget = 67108864ULL;
        } else {
            prog_f32_budget = 1610612736ULL;
        }
        std::fprintf(stderr, "[PROG-F32] budget=%.2f GiB (out_b then q_b; Q8 wall stays mlocked)\n",
                     double(prog_f32_budget) / kGiB);
    }
    if (f32_bytes >= prog_f32_budget) return;
    auto copy = [&](const GGUFTensor* t, int64_t rows, int64_t cols) {
        if (!t || rows < 1 || cols < 1 || !t->data) return false;
        if (f32_dense.count(t->data)) return true;
        const uint64_t bytes = uint64_t(rows * cols) * sizeof(float);
        if (f32_bytes + bytes > prog_f32_budget) return false;
        void* m = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return false;
        if (!vm::dequant_tensor(t->type, t->data, static_cast<float*>(m), uint64_t(rows * cols))) {
            ::munmap(m, bytes);
            return false;
        }
        ::mlock(m, bytes);
        f32_dense[t->data] = {static_cast<float*>(m), rows, cols, rows * cols};
        f32_bytes += bytes;
        ++prog_f32_count;
        return true;
    };
    copy(wl_opt(il, "attn_output_b.weight"), n_embd, int64_t(o_groups) * o_rank);
    copy(wl_opt(il, "attn_q_b.weight"), int64_t(n_head) * head_dim, q_rank);
    if (il == n_layer - 1 && prog_f32_count > 0)
        std::fprintf(stderr, "[PROG-F32] cached %d tensors %.2f/%.2f GiB after layer walk\n", prog_f32_count,
                     double(f32_bytes) / kGiB, double(prog_f32_budget) / kGiB);
}

} // namespace vm::zov4
