// The F32 wall: single-precision copies of the Q8_0 attention matrices and
// the output head in one file-backed mapping, built once and reused by later
// runs of the same model and budget.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vm_cabi_v2/dequant.h"
#include "zov4/f32_wall_file.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

namespace {

constexpr uint64_t kPage = 16384;
constexpr double kGiB = 1073741824.0;
using Clock = std::chrono::steady_clock;

using Item = F32WallItem;

std::string wall_path() {
    if (const char* f = std::getenv("VIVIROV_DENSIFY_FILE")) return f;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/models/DeepSeek-V4-Core/wall_f32.bin";
}

// Names, shapes and sampled bytes of the items: a different model (or a
// different quantisation of the same one) gives a different identity.
uint64_t identity_of(const std::vector<Item>& items) {
    uint64_t h = 1469598103934665603ULL;
    auto mix = [&](const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ULL;
    };
    for (const Item& it : items) {
        mix(it.t->name.data(), it.t->name.size());
        mix(&it.t->type, sizeof it.t->type);
        mix(&it.rows, sizeof it.rows);
        mix(&it.cols, sizeof it.cols);
        const uint64_t n = it.t->nbytes, s = std::min<uint64_t>(64, n);
        for (uint64_t at : {uint64_t(0), n / 2 - std::min(n / 2, s / 2), n - s}) mix(it.t->data + at, size_t(s));
    }
    return h;
}

bool dequant_item(const Item& it, float* dst) {
    return vm::dequant_tensor(it.t->type, it.t->data, dst, uint64_t(it.rows * it.cols));
}

void touch_floats(const float* p, uint64_t bytes) {
    const auto* b = reinterpret_cast<const volatile uint8_t*>(p);
    for (uint64_t off = 0; off < bytes; off += kPage) (void)b[off];
}

struct Pages {
    void* start;
    size_t len;
};

Pages pages_of(const GGUFTensor* t) {
    const auto a = reinterpret_cast<uintptr_t>(t->data);
    return {reinterpret_cast<void*>(a / kPage * kPage), size_t(((a % kPage) + t->nbytes + kPage - 1) / kPage * kPage)};
}

} // namespace

void ZOV4Forward::ensure_dense_f32_wall_() {
    if (f32_wall_done) return;
    const double gb = [] {
        const char* v = std::getenv("VIVIROV_DENSIFY_GB");
        char* end = nullptr;
        const double d = v ? std::strtod(v, &end) : 0.0;
        return v && end != v && d > 0 ? d : 6.0;
    }();
    const uint64_t budget = uint64_t(gb * 1073741824.0);

    std::vector<Item> items;
    auto add = [&](const GGUFTensor* t, int64_t rows, int64_t cols, const char* tag) {
        if (t && t->type == 8 && t->data) items.push_back({t, rows, cols, tag});
    };
    for (int il = 0; il < n_layer; ++il) add(wl_opt(il, "attn_output_b.weight"), n_embd, int64_t(o_rank) * o_groups, "out_b");
    for (int il = 0; il < n_layer; ++il) add(wl_opt(il, "attn_q_b.weight"), int64_t(n_head) * head_dim, q_rank, "q_b");
    for (int il = 0; il < n_layer; ++il)
        add(wl_opt(il, "attn_output_a.weight"), int64_t(o_rank) * o_groups,
            int64_t(v_dim) * (n_head / std::max(1, o_groups)), "out_a");
    for (int il = 0; il < n_layer; ++il) {
        add(wl_opt(il, "attn_q_a.weight"), q_rank, n_embd, "q_a");
        add(wl_opt(il, "attn_kv.weight"), head_dim, n_embd, "kv");
    }
    add(global_tensor("output.weight"), n_vocab, n_embd, "lm_head"); // throws when missing

    // The longest leading run within the budget, and within the header.
    uint64_t n = 0;
    size_t kept = 0;
    for (; kept < items.size() && kept < F32WallFile::kMaxEntries; ++kept) {
        const uint64_t b = uint64_t(items[kept].rows * items[kept].cols) * 4;
        if (n + b > budget) break;
        n += b;
    }
    items.resize(kept);
    if (items.empty()) {
        f32_wall_done = true;
        std::fprintf(stderr, "[DENSIFY] nothing to densify (budget=%.1f GiB)\n", gb);
        return;
    }
    std::vector<F32WallFile::Entry> entries;
    for (const Item& it : items) entries.push_back({uint64_t(it.rows), uint64_t(it.cols)});
    const uint64_t identity = identity_of(items);
    const std::string path = wall_path();

    auto anonymous = [&] { densify_f32_anonymous_(items, n); };
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "[DENSIFY] open(%s) failed errno=%d — falling back to anonymous\n", path.c_str(), errno);
        return anonymous();
    }
    const uint64_t total = n + F32WallFile::kHeaderBytes;
    if (::ftruncate(fd, off_t(total)) != 0) {
        std::fprintf(stderr, "[DENSIFY] ftruncate %zu failed errno=%d — anonymous fallback\n", size_t(total), errno);
        ::close(fd);
        return anonymous();
    }
    void* map = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "[DENSIFY] mmap failed errno=%d — anonymous fallback\n", errno);
        ::close(fd);
        return anonymous();
    }
    wall_addr = map;
    wall_len = total;
    wall_fd = fd;
    auto* header = static_cast<uint8_t*>(map);
    auto* payload = reinterpret_cast<float*>(header + F32WallFile::kHeaderBytes);
    auto t0 = Clock::now();
    if (F32WallFile::matches(header, entries, identity)) {
        std::fprintf(stderr, "[DENSIFY] reusing F32 wall file=%s (%.2f GiB, %zu entries)\n", path.c_str(),
                     double(n) / kGiB, items.size());
    } else {
        std::fprintf(stderr, "[DENSIFY] building F32 wall file=%s bytes=%.2f GiB entries=%zu ...\n", path.c_str(),
                     double(n) / kGiB, items.size());
        // A half-built wall must not pass for a finished one.
        std::memset(header, 0, F32WallFile::kHeaderBytes);
        for (size_t j = 0; j < items.size(); ++j) {
            if (!dequant_item(items[j], payload + F32WallFile::element_offset(entries, j))) {
                std::fprintf(stderr, "[DENSIFY] dequant fail tag=%s — abort densify\n", items[j].tag);
                ::munmap(map, total);
                ::close(fd);
                wall_addr = nullptr;
                wall_len = 0;
                wall_fd = -1;
                f32_wall_done = true;
                return;
            }
        }
        ::msync(payload, n, MS_SYNC);
        F32WallFile::write_header(header, entries, identity);
        ::msync(map, total, MS_SYNC);
    }
    int q_b = 0, out_b = 0, out_a = 0, other = 0;
    for (size_t j = 0; j < items.size(); ++j) {
        const Item& it = items[j];
        f32_dense[it.t->data] = {payload + F32WallFile::element_offset(entries, j), it.rows, it.cols,
                                 it.rows * it.cols};
        const std::string tag = it.tag;
        (tag == "q_b" ? q_b : tag == "out_b" ? out_b : tag == "out_a" ? out_a : other)++;
    }
    f32_bytes = n;
    touch_floats(payload, n);

    const char* keep_v = std::getenv("VIVIROV_DENSIFY_KEEP_Q8");
    const bool keep_q8 = !(keep_v && std::strcmp(keep_v, "0") == 0);
    auto each_q8 = [&](auto fn) {
        for (const Item& it : items) {
            const Pages p = pages_of(it.t);
            if (reinterpret_cast<uintptr_t>(it.t->data) >= kPage && p.len > 0) fn(p, it.t);
        }
    };
    if (!keep_q8) each_q8([](Pages p, const GGUFTensor*) { ::munlock(p.start, p.len); });
    if (::mlock(payload, n) != 0) {
        std::fprintf(stderr,
                     "[DENSIFY] mlock F32 FAILED errno=%d (%.2f GiB) keep_q8=%d — F32 index kept (touched); Q8 wall "
                     "intact\n",
                     errno, double(n) / kGiB, int(keep_q8));
        if (!keep_q8)
            each_q8([](Pages p, const GGUFTensor* t) {
                ::mlock(p.start, p.len);
                touch_floats(reinterpret_cast<const float*>(t->data), t->nbytes);
            });
    } else {
        std::fprintf(stderr, "[DENSIFY] mlock OK on %.2f GiB F32 keep_q8=%d\n", double(n) / kGiB, int(keep_q8));
        if (!keep_q8) each_q8([](Pages p, const GGUFTensor*) { ::madvise(p.start, p.len, MADV_DONTNEED); });
    }
    f32_wall_done = true;
    std::fprintf(stderr,
                 "[DENSIFY] READY F32 wall=%.2f GiB q_b=%d out_b=%d out_a=%d other=%d build/reuse=%.2fs path=%s → pure "
                 "type-0 AMX hot path\n",
                 double(n) / kGiB, q_b, out_b, out_a, other,
                 std::chrono::duration<double>(Clock::now() - t0).count(), path.c_str());
}

void ZOV4Forward::densify_f32_anonymous_(const std::vector<F32WallItem>& items, uint64_t bytes) {
    void* m = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        std::fprintf(stderr, "[DENSIFY] anonymous mmap %.2f GiB failed errno=%d\n", double(bytes) / kGiB, errno);
        f32_wall_done = true;
        return;
    }
    wall_addr = m;
    wall_len = bytes;
    wall_fd = -1;
    auto* at = static_cast<float*>(m);
    uint64_t written = 0;
    for (const Item& it : items) {
        if (!dequant_item(it, at)) {
            std::fprintf(stderr, "[DENSIFY] anon dequant fail tag=%s\n", it.tag);
            break;
        }
        f32_dense[it.t->data] = {at, it.rows, it.cols, it.rows * it.cols};
        at += it.rows * it.cols;
        written += uint64_t(it.rows * it.cols) * 4;
    }
    f32_bytes = written;
    f32_wall_done = true;
    std::fprintf(stderr, "[DENSIFY] READY anonymous F32 wall=%.2f GiB entries=%zu\n", double(written) / kGiB,
                 items.size());
}

} // namespace vm::zov4
