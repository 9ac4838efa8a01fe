// The routed experts' three compute paths: om2 low-rank packs, GPU products
// on slices staged into the wired ring, and fused CPU products (run as
// deferred jobs when several experts are active).
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "vm_cabi_v2/dequant.h"
#include "vm_cabi_v2/fused_q_kernels.h"
#include "vm_cabi_v2/low_rank_gemv.h"
#include "vm_cabi_v2/slice_event.h"
#include "vm_gpu.h"
#include "zov4/zov4_forward.h"
#include "zov4/zov4_moe_job.h"
#include "zov4/zov4_row_products.h"

namespace vm::zov4 {

namespace {

constexpr size_t kGpuChunk = 16;

void teal_cpu(float* a, size_t n, float threshold) {
    for (size_t i = 0; i < n; ++i)
        if (!(a[i] > threshold || a[i] < -threshold)) a[i] = 0.0f;
}

// y = W·x for a slice that no fused kernel takes: dequantised rows, double
// sums of fused products.
void dequant_gemv(uint32_t type, const uint8_t* w, int64_t rows, int64_t cols, const float* x, float* y) {
    std::vector<float> m(static_cast<size_t>(rows * cols));
    if (!vm::dequant_tensor(type, w, m.data(), uint64_t(rows * cols))) {
        std::fill(y, y + rows, 0.0f);
        return;
    }
    for (int64_t r = 0; r < rows; ++r) {
        double s = 0.0;
        for (int64_t j = 0; j < cols; ++j) s = std::fma(double(m[size_t(r * cols + j)]), double(x[j]), s);
        y[r] = float(s);
    }
}

} // namespace

float ZOV4Forward::act_clamp_of_(int il) const {
    return il >= 0 && size_t(il) < act_clamp.size() ? act_clamp[size_t(il)] : 10.0f;
}

// ---- om2 packs ----------------------------------------------------------

bool ZOV4Forward::om2_expert_pair_gemv_(int il, int e, const float* x, float* up_out, float* gate_out, int64_t rows,
                                        int64_t cols) {
    if (!om2_bound) return false;
    om2.ensure_resident(il, e, 'u', 50);
    om2.ensure_resident(il, e, 'g', 50);
    // Held for the whole product: an eviction meanwhile cannot free them.
    const auto up = om2.get_or_load(il, e, 'u');
    const auto gate = om2.get_or_load(il, e, 'g');
    auto usable = [&](const vm::apex::Om2Pack* p) {
        return p && p->rows > 0 && p->cols > 0 && p->rank > 0 && p->valid() &&
               uint64_t(p->rows) * uint64_t(p->cols) == p->R.size() && p->rows == rows && p->cols == cols;
    };
    if (!usable(up.get()) || !usable(gate.get())) return false;
    if (om2_residual && !om2_prefer_only) return false;
    std::fill(up_out, up_out + rows, 0.0f);
    std::fill(gate_out, gate_out + rows, 0.0f);
    std::vector<float> scratch(static_cast<size_t>(up->rank + gate->rank));
    vm::apex::dual_gemv_f32_pair_det(up->U.data(), up->V.data(), up->S.data(), gate->U.data(), gate->V.data(),
                                     gate->S.data(), int(rows), int(cols), up->rank, gate->rank, x, up_out, gate_out,
                                     scratch.data());
    active_set.on_routed(il, e, up->bytes() + gate->bytes());
    om2_hits += 2;
    return true;
}

bool ZOV4Forward::om2_expert_gemv_(int il, int e, int proj, const float* x, float* y, int64_t rows, int64_t cols) {
    if (!om2_bound) return false;
    const char letter = proj == 1 ? 'g' : proj == 2 ? 'd' : 'u';
    om2.ensure_resident(il, e, letter, 50);
    const auto p = om2.get_or_load(il, e, letter);
    if (!p || p->rows <= 0 || p->cols <= 0 || p->rank <= 0 || !p->valid() ||
        uint64_t(p->rows) * uint64_t(p->cols) != p->R.size() || p->rows != rows || p->cols != cols)
        return false;
    std::fill(y, y + rows, 0.0f);
    if (om2_residual && !om2_prefer_only)
        vm::apex::om2_hybrid_gemv(*p, x, y);
    else
        vm::apex::dual_gemv_f32_det(p->U.data(), p->V.data(), p->S.data(), int(rows), int(cols), p->rank, x, y,
                                    nullptr);
    active_set.on_routed(il, e, p->bytes());
    ++om2_hits;
    return true;
}

void ZOV4Forward::moe_om2_path_(int il, const std::vector<int32_t>& active, const std::vector<MoeBucket>& buckets,
                                const float* x, float* out) {
    const int64_t E = n_embd, ff = n_ff_exp;
    const float L = act_clamp_of_(il);
    std::vector<float> up(static_cast<size_t>(ff)), gate(static_cast<size_t>(ff)), a(static_cast<size_t>(ff)), d(static_cast<size_t>(E));
    for (int32_t e : active)
        for (const auto& [t, w] : buckets[size_t(e)]) {
            const float* xr = x + int64_t(t) * E;
            if (!om2_expert_pair_gemv_(il, e, xr, up.data(), gate.data(), ff, E) &&
                !(om2_expert_gemv_(il, e, 0, xr, up.data(), ff, E) && om2_expert_gemv_(il, e, 1, xr, gate.data(), ff, E)))
                continue;
            for (int64_t i = 0; i < ff; ++i) a[size_t(i)] = expert_activation(up[size_t(i)], gate[size_t(i)], w, L);
            if (teal) teal_cpu(a.data(), a.size(), teal_threshold);
            if (!om2_expert_gemv_(il, e, 2, a.data(), d.data(), E, ff)) continue;
            float* o = out + int64_t(t) * E;
            for (int64_t j = 0; j < E; ++j) o[j] += d[size_t(j)];
        }
}

// ---- CPU ------------------------------------------------------------------

void ZOV4Forward::cpu_expert_eval_(int il, const FusedExperts& f, int e, const MoeBucket& bucket, const float* x,
                                   float* out) const {
    const int64_t E = f.n_embd, ff = f.ff, m = int64_t(bucket.size());
    if (m < 1) return;
    const float L = act_clamp_of_(il);
    const uint8_t* w[3] = {f.slice(0, e), f.slice(1, e), f.slice(2, e)};
    // The bucket's rows side by side: each of the expert's matrices is then
    // one pass of the pool for all of them.
    thread_local std::vector<float> X, up, gate, a, d;
    X.resize(size_t(m * E));
    up.resize(size_t(m * ff));
    gate.resize(size_t(m * ff));
    a.resize(size_t(m * ff));
    d.resize(size_t(m * E));
    thread_local std::vector<float> weight;
    thread_local std::vector<int32_t> out_row;
    weight.resize(size_t(m));
    out_row.resize(size_t(m));
    for (int64_t i = 0; i < m; ++i) {
        const float* xr = x + int64_t(bucket[size_t(i)].first) * E;
        std::copy(xr, xr + E, X.begin() + i * E);
        weight[size_t(i)] = bucket[size_t(i)].second;
        out_row[size_t(i)] = bucket[size_t(i)].first;
    }
    // The three products in one job of the pool, each weight read once for
    // all the bucket's rows.
    const GatedFfn net{.type = {f.t[0]->type, f.t[1]->type, f.t[2]->type},
                       .W = {w[0], w[1], w[2]},
                       .N = int32_t(ff),
                       .K = int32_t(E),
                       .rows = int32_t(m),
                       .X = X.data(),
                       .U = up.data(),
                       .G = gate.data(),
                       .A = a.data(),
                       .D = d.data(),
                       .weight = weight.data(),
                       .clamp = L,
                       .out_rows = out_row.data()};
    if (run_gated_ffns(&net, 1, out)) return;
    const RowProduct up_gate[2] = {{f.t[0]->type, w[0], int32_t(ff), int32_t(E), X.data(), up.data(), 0},
                                   {f.t[1]->type, w[1], int32_t(ff), int32_t(E), X.data(), gate.data(), 0}};
    if (!row_products(up_gate, 2, int32_t(m))) {
        for (int64_t i = 0; i < m; ++i) {
            dequant_gemv(f.t[0]->type, w[0], ff, E, X.data() + i * E, up.data() + i * ff);
            dequant_gemv(f.t[1]->type, w[1], ff, E, X.data() + i * E, gate.data() + i * ff);
        }
    }
    for (int64_t i = 0; i < m; ++i) {
        const float wt = bucket[size_t(i)].second;
        for (int64_t j = i * ff; j < (i + 1) * ff; ++j) a[size_t(j)] = expert_activation(up[size_t(j)], gate[size_t(j)], wt, L);
    }
    if (!row_product({f.t[2]->type, w[2], int32_t(E), int32_t(ff), a.data(), d.data(), 0}, int32_t(m)))
        for (int64_t i = 0; i < m; ++i) dequant_gemv(f.t[2]->type, w[2], E, ff, a.data() + i * ff, d.data() + i * E);
    for (int64_t i = 0; i < m; ++i) {
        float* o = out + int64_t(bucket[size_t(i)].first) * E;
        const float* di = d.data() + i * E;
        for (int64_t j = 0; j < E; ++j) o[j] += di[j];
    }
}

void ZOV4Forward::moe_cpu_path_(int il, const FusedExperts& f, const std::vector<int32_t>& experts,
                                const std::vector<MoeBucket>& buckets, const float* x, float* out, int64_t n) {
    if (experts.empty()) return;
    if (!deferral.enabled || experts.size() < 2) {
        for (int32_t e : experts) cpu_expert_eval_(il, f, e, buckets[size_t(e)], x, out);
        return;
    }
    const size_t each = size_t(n * f.n_embd);
    std::vector<std::vector<float>> partial(experts.size(), std::vector<float>(each, 0.0f));
    std::vector<vm::apex::ExpertJob> jobs;
    for (size_t i = 0; i < experts.size(); ++i) {
        const int32_t e = experts[i];
        float* dst = partial[i].data();
        jobs.push_back({il, e, [this, il, &f, e, &buckets, x, dst] { cpu_expert_eval_(il, f, e, buckets[size_t(e)], x, dst); }});
    }
    deferral.submit_experts(std::move(jobs));
    deferral.wait();
    // Summed on this thread in ascending expert order: the result does not
    // depend on which job ended first.
    for (const auto& p : partial)
        for (size_t i = 0; i < each; ++i) out[i] += p[i];
}

// ---- GPU on ring slices ---------------------------------------------------

std::vector<int32_t> ZOV4Forward::moe_gpu_path_(int il, const FusedExperts& f, const std::vector<int32_t>& active,
                                                const std::vector<MoeBucket>& buckets, const float* x, float* out) {
    std::vector<int32_t> to_cpu;
    const int64_t E = f.n_embd, ff = f.ff;
    const float L = act_clamp_of_(il);
    const bool fences = vmb_supports_gpu_fences();
    void* ring = uvm->ring_buffer();
    struct Work {
        int32_t e;
        StagedSlice s[3];
        std::vector<float> X, up, gate, a, d;
        bool ok = true;
        uint32_t m = 0;
    };
    auto wait_read = [&](const StagedSlice& s) {
        if (fences && s.fence && s.fence->gpu_handle()) {
            if (s.wait_value) vmb_command_buffer_encode_wait(nullptr, s.fence->gpu_handle(), s.wait_value);
        } else if (s.ready.valid()) {
            s.ready.wait();
        }
    };
    auto read_ok = [](const StagedSlice& s) {
        if (!s.ok || !s.ready.valid()) return false;
        try {
            s.ready.get();
            return true;
        } catch (...) {
            return false;
        }
    };
    // The slice's user is done: raise its own fence to GPU-done.
    auto release = [&](StagedSlice& s, bool encoded) {
        uvm->unpin(s);
        s.pinned = false;
        if (!s.signal_value) return;
        if (encoded && fences && s.fence && s.fence->gpu_handle())
            vmb_command_buffer_encode_signal(nullptr, s.fence->gpu_handle(), s.signal_value);
        else
            uvm->signal_done(s.signal_value);
    };
    for (size_t c0 = 0; c0 < active.size(); c0 += kGpuChunk) {
        std::vector<Work> chunk;
        for (size_t i = c0; i < std::min(active.size(), c0 + kGpuChunk); ++i) {
            Work w;
            w.e = active[i];
            const MoeBucket& b = buckets[size_t(w.e)];
            w.m = uint32_t(b.size());
            for (int p = 0; p < 3; ++p) w.s[p] = uvm->stage_expert(il, ExpertProj(p), w.e);
            // A slice that could not be staged is never multiplied from the
            // ring: that expert runs on the CPU path.
            if (!w.s[0].ok || !w.s[1].ok || !w.s[2].ok) {
                for (auto& s : w.s) release(s, false);
                to_cpu.push_back(w.e);
                continue;
            }
            w.X.assign(size_t(E) * w.m, 0.0f);
            for (uint32_t r = 0; r < w.m; ++r)
                for (int64_t j = 0; j < E; ++j) w.X[size_t(j) * w.m + r] = x[int64_t(b[r].first) * E + j];
            w.up.assign(size_t(ff) * w.m, 0.0f);
            w.gate.assign(size_t(ff) * w.m, 0.0f);
            w.a.assign(size_t(ff) * w.m, 0.0f);
            w.d.assign(size_t(E) * w.m, 0.0f);
            chunk.push_back(std::move(w));
        }
        if (chunk.empty()) continue;

        // Up and gate.
        vmb_arena_reset();
        vmb_command_buffer_begin();
        bool all = true;
        for (Work& w : chunk) {
            if (!all) break;
            for (int p = 0; p < 2 && all; ++p) {
                wait_read(w.s[p]);
                float* y = p == 0 ? w.up.data() : w.gate.data();
                all = vm_gpu_matmul_q_sg_batched_zc(f.t[p]->type, ring, w.s[p].ring_offset, f.slice_bytes(p), w.X.data(),
                                                    y, uint32_t(ff), uint32_t(E), w.m);
            }
        }
        if (all)
            for (Work& w : chunk) release(w.s[0], true), release(w.s[1], true);
        all = vmb_command_buffer_commit_and_wait() && all;
        if (!all) {
            std::printf("CPU fallback okA il=%d nc=%zu\n", il, chunk.size());
            std::fflush(stdout);
            for (Work& w : chunk) {
                for (int p = 0; p < 2; ++p) {
                    float* y = p == 0 ? w.up.data() : w.gate.data();
                    if (!read_ok(w.s[p]) || !vm_gpu_matmul_q_sg(f.t[p]->type, w.s[p].host, f.slice_bytes(p), w.X.data(),
                                                                 y, uint32_t(ff), uint32_t(E), w.m))
                        w.ok = false;
                    release(w.s[p], false);
                }
            }
        }
        // Activation (and sparsification) on the CPU.
        for (Work& w : chunk) {
            if (!w.ok) continue;
            const MoeBucket& b = buckets[size_t(w.e)];
            for (int64_t i = 0; i < ff; ++i)
                for (uint32_t r = 0; r < w.m; ++r) {
                    const size_t at = size_t(i) * w.m + r;
                    w.a[at] = expert_activation(w.up[at], w.gate[at], b[r].second, L);
                }
            if (teal && !vm_gpu_teal_threshold(w.a.data(), uint32_t(w.a.size()), teal_threshold, nullptr))
                teal_cpu(w.a.data(), w.a.size(), teal_threshold);
        }
        // Down.
        vmb_arena_reset();
        vmb_command_buffer_begin();
        all = true;
        for (Work& w : chunk) {
            if (!w.ok || !all) continue;
            wait_read(w.s[2]);
            all = vm_gpu_matmul_q_sg_batched_zc(f.t[2]->type, ring, w.s[2].ring_offset, f.slice_bytes(2), w.a.data(),
                                                w.d.data(), uint32_t(E), uint32_t(ff), w.m);
        }
        if (all)
            for (Work& w : chunk) release(w.s[2], true);
        all = vmb_command_buffer_commit_and_wait() && all;
        for (Work& w : chunk) {
            if (!all && w.ok &&
                (!read_ok(w.s[2]) || !vm_gpu_matmul_q_sg(f.t[2]->type, w.s[2].host, f.slice_bytes(2), w.a.data(),
                                                         w.d.data(), uint32_t(E), uint32_t(ff), w.m)))
                w.ok = false;
            release(w.s[2], false); // a no-op once the GPU raised it
            if (!w.ok) {
                to_cpu.push_back(w.e);
                continue;
            }
            const MoeBucket& b = buckets[size_t(w.e)];
            for (uint32_t r = 0; r < w.m; ++r) {
                float* o = out + int64_t(b[r].first) * E;
                for (int64_t j = 0; j < E; ++j) o[j] += w.d[size_t(j) * w.m + r];
            }
        }
    }
    std::sort(to_cpu.begin(), to_cpu.end());
    return to_cpu;
}

void* ZOV4Forward::ensure_dense_handle(const void* data, uint32_t type, uint64_t nbytes) {
    if (!data || nbytes == 0) return nullptr;
    if (auto it = dense_buffers.find(data); it != dense_buffers.end()) return it->second;
    char name[40];
    std::snprintf(name, sizeof name, "ptr_%p", data);
    void* h = gpu.register_dense ? gpu.register_dense(name, data, nbytes, type) : nullptr;
    dense_buffers[data] = h; // a refusal is kept and not tried again
    return h;
}

} // namespace vm::zov4
