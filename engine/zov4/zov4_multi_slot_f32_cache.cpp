// Progressive single-precision copies of the two largest dense attention
// weights of each layer, made while the batched decode walks the layers, so
// that later products read floats instead of decoding blocks every step.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <sys/mman.h>

#include "common/engine_env.h"
#include "common/engine_log.h"
#include "vm_cabi_v2/dequant.h"
#include "zov4/zov4_forward.h"

namespace vm::zov4 {

namespace {

constexpr double kGiB = 1073741824.0;

struct ProgressiveSettings {
    bool enabled = false;
    uint64_t budget = 0;
};

// Read once per process.
const ProgressiveSettings& progressive_settings() {
    static const ProgressiveSettings settings = [] {
        ProgressiveSettings s;
        s.enabled = vm::env_starts_with_1("VIVIROV_PROG_F32");
        if (!s.enabled) return s;
        double gib = 1.5;
        if (auto v = vm::env_value("VIVIROV_PROG_F32_GB")) {
            char* end = nullptr;
            const double parsed = std::strtod(v->c_str(), &end);
            if (end != v->c_str() && parsed > 0.0) gib = parsed;
        }
        s.budget = std::max<uint64_t>(uint64_t(gib * kGiB), uint64_t(64) << 20);
        vm::log_line("[PROG-F32] budget=%.2f GiB (out_b then q_b; Q8 wall stays mlocked)", double(s.budget) / kGiB);
        return s;
    }();
    return settings;
}

} // namespace

void ZOV4Forward::progressive_f32_cache_layer_(int il) {
    const ProgressiveSettings& settings = progressive_settings();
    if (!settings.enabled || il < 0 || il >= n_layer) return;
    for (const char* name : {"attn_output_b.weight", "attn_q_b.weight"}) {
        if (prog_f32_bytes >= settings.budget) break;
        const GGUFTensor* W = wl_opt(il, name);
        if (W == nullptr || W->data == nullptr || W->dims.size() < 2 || f32_dense.count(W->data) != 0) continue;
        const int64_t cols = int64_t(W->dims[0]), rows = int64_t(W->dims[1]);
        const uint64_t bytes = uint64_t(rows * cols) * sizeof(float);
        if (prog_f32_bytes + bytes > settings.budget) continue;
        std::unique_ptr<float[]> copy(new float[size_t(rows * cols)]);
        if (!vm::dequant_tensor(W->type, W->data, copy.get(), uint64_t(rows * cols))) continue;
        mlock(copy.get(), bytes); // best effort: an unlocked copy still serves
        f32_dense[W->data] = F32DenseEntry{copy.get(), rows, cols, rows * cols};
        prog_f32_copies.push_back(std::move(copy));
        prog_f32_bytes += bytes;
    }
    if (il == n_layer - 1 && !prog_f32_reported) {
        prog_f32_reported = true;
        vm::log_line("[PROG-F32] cached %d tensors %.2f/%.2f GiB after layer walk", int(prog_f32_copies.size()),
                     double(prog_f32_bytes) / kGiB, double(settings.budget) / kGiB);
    }
}

} // namespace vm::zov4
