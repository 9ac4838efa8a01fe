// Several sequences in slots decoded together on the tiny DeepSeek-V4
// model: against each sequence decoded alone, across pool sizes, and the
// rules for rows, slot numbers, slabs and the single sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include <cblas.h>

#include "engine/common/thread_budget.h"
#include "tests/ZOV4Attention/AttentionModel.h"
#include "tests/support/PoolSizeHashes.h"

using namespace vivirov::test;
using vm::zov4::ZOV4Forward;

namespace {

std::vector<int32_t> prompt(int n, int seed) {
    std::vector<int32_t> t(n);
    for (int i = 0; i < n; ++i) t[size_t(i)] = int32_t((i * 37 + seed * 101 + 5) % 512);
    return t;
}

struct Decoded {
    std::vector<std::vector<int>> tokens;        // per slot, per step
    std::vector<std::vector<float>> logits;      // per slot, per step (V each)
};

// Each prompt alone: prefill, then `steps` tokens decoded one at a time,
// fed with `inputs` (per slot, per step).
Decoded alone(const std::vector<std::vector<int32_t>>& prompts, const std::vector<std::vector<int>>& inputs,
              int steps) {
    Decoded d;
    for (size_t s = 0; s < prompts.size(); ++s) {
        auto f = cpuModel();
        f->forward(prompts[s]);
        d.tokens.emplace_back();
        d.logits.emplace_back();
        for (int k = 0; k < steps; ++k) {
            std::vector<float> logits;
            d.tokens.back().push_back(f->forward_one(inputs[s][size_t(k)], &logits));
            d.logits.back().insert(d.logits.back().end(), logits.begin(), logits.end());
        }
    }
    return d;
}

// Slots 0 … B - 1, already prefilled, decoded together over `steps` inputs.
Decoded decodeSteps(ZOV4Forward& f, int B, const std::vector<std::vector<int>>& inputs, int steps) {
    Decoded d;
    d.tokens.resize(size_t(B));
    d.logits.resize(size_t(B));
    std::vector<int> ids(B, 0), toks(B, 0), out(B, -1);
    for (int s = 0; s < B; ++s) ids[size_t(s)] = s;
    for (int k = 0; k < steps; ++k) {
        for (int s = 0; s < B; ++s) toks[size_t(s)] = inputs[size_t(s)][size_t(k)];
        f.multi_decode_step(ids.data(), toks.data(), B, out.data());
        for (int s = 0; s < B; ++s) {
            d.tokens[size_t(s)].push_back(out[size_t(s)]);
            const float* l = f.arena.logits.data() + size_t(s) * f.n_vocab;
            d.logits[size_t(s)].insert(d.logits[size_t(s)].end(), l, l + f.n_vocab);
        }
    }
    return d;
}

Decoded together(ZOV4Forward& f, const std::vector<std::vector<int32_t>>& prompts,
                 const std::vector<std::vector<int>>& inputs, int steps) {
    const int B = int(prompts.size());
    f.multi_seq_init(B);
    for (int s = 0; s < B; ++s) f.multi_seq_prefill(s, prompts[size_t(s)]);
    return decodeSteps(f, B, inputs, steps);
}

std::vector<std::vector<int>> fixedInputs(int slots, int steps) {
    std::vector<std::vector<int>> in(slots);
    for (int s = 0; s < slots; ++s)
        for (int k = 0; k < steps; ++k) in[size_t(s)].push_back((s * 53 + k * 29 + 7) % 512);
    return in;
}

// Slots decoded together give what each sequence gives alone (the token
// inputs are fixed, so one near-tie cannot change the later steps).
TEST(BatchedDecode, MatchesEachSequenceDecodedAlone) {
    const std::vector<std::vector<int32_t>> prompts = {prompt(9, 1), prompt(17, 2), prompt(30, 3), prompt(5, 4)};
    const int steps = 6;
    const auto inputs = fixedInputs(int(prompts.size()), steps);
    const Decoded want = alone(prompts, inputs, steps);
    auto f = cpuModel();
    const Decoded got = together(*f, prompts, inputs, steps);
    for (size_t s = 0; s < prompts.size(); ++s) {
        const auto& a = got.logits[s];
        const auto& b = want.logits[s];
        ASSERT_EQ(a.size(), b.size());
        double worst = 0, scale = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            worst = std::max(worst, std::fabs(double(a[i]) - b[i]));
            scale = std::max(scale, std::fabs(double(b[i])));
        }
        EXPECT_LT(worst, 1e-2 * (1 + scale)) << "slot " << s;
        for (int k = 0; k < steps; ++k) {
            const float* l = b.data() + size_t(k) * f->n_vocab;
            std::vector<float> sorted(l, l + f->n_vocab);
            std::sort(sorted.rbegin(), sorted.rend());
            if (sorted[0] - sorted[1] > 1e-2f * (1 + std::fabs(sorted[0]))) {
                EXPECT_EQ(got.tokens[s][size_t(k)], want.tokens[s][size_t(k)]) << "slot " << s << " step " << k;
            }
        }
    }
}

// Child: decodes a fixed batch and prints the logits' bits.
TEST(BatchedDecode, DeterministicChild) {
    if (!isChildTest("BatchedDecode.DeterministicChild")) GTEST_SKIP() << "runs in a child process";
    // The pool's size follows the thread budget; BLAS keeps one thread in
    // every child, since its own bits may follow its thread count.
    vm::thread_budget();
    openblas_set_num_threads(1);
    const std::vector<std::vector<int32_t>> prompts = {prompt(12, 5), prompt(7, 6), prompt(20, 7), prompt(3, 8),
                                                       prompt(9, 9)};
    auto f = cpuModel();
    const Decoded d = together(*f, prompts, fixedInputs(5, 3), 3);
    BitHash h;
    for (const auto& l : d.logits) h.add(l);
    h.print();
}

TEST(BatchedDecode, SameBitsForAnyPoolSize) {
    expectSameHashForPoolSizes("BatchedDecode.DeterministicChild", {"1", "2", "8"});
}

TEST(BatchedDecode, SlotCountIsClamped) {
    auto f = cpuModel();
    for (const auto& [asked, made] : std::vector<std::pair<int, int>>{{0, 1}, {1, 1}, {5, 5}, {40, 16}}) {
        f->multi_seq_init(asked);
        EXPECT_EQ(f->n_slots, made);
        ASSERT_EQ(f->slots.size(), size_t(made));
        const auto& c = f->slots[0].layers.at(2);
        EXPECT_EQ(c.x_rows.size(), size_t(128) * f->n_embd);
        EXPECT_EQ(c.kv_rows.size(), size_t(128) * f->head_dim);
        EXPECT_EQ(c.comp_kv.size(), size_t(34) * f->head_dim);
        EXPECT_EQ(c.n_rows, 0);
    }
    EXPECT_EQ(f->multi_seq_prefill(16, prompt(3, 1)), -1);
    EXPECT_EQ(f->multi_seq_prefill(-1, prompt(3, 1)), -1);
}

// Rows from min(n, slots) on are ignored; a slot number outside the slots
// stands for slot i mod n_slots; a slot repeated in a step, or one whose
// prefill failed, is skipped with its out entry untouched.
TEST(BatchedDecode, RowRules) {
    auto f = cpuModel();
    f->multi_seq_init(16);
    for (int s = 0; s < 16; ++s) f->multi_seq_prefill(s, prompt(4, s));
    {
        std::vector<int> ids(20), toks(20, 7), out(20, -9);
        for (int i = 0; i < 20; ++i) ids[size_t(i)] = i;
        f->multi_decode_step(ids.data(), toks.data(), 20, out.data());
        for (int i = 0; i < 16; ++i) EXPECT_GE(out[size_t(i)], 0) << i;
        for (int i = 16; i < 20; ++i) EXPECT_EQ(out[size_t(i)], -9) << i;
        for (int s = 0; s < 16; ++s) EXPECT_EQ(f->slots[size_t(s)].pos, 5) << s;
    }
    f->multi_seq_init(3);
    for (int s = 0; s < 3; ++s) f->multi_seq_prefill(s, prompt(4, s));
    EXPECT_THROW(f->multi_seq_prefill(2, {9999}), std::exception);
    EXPECT_TRUE(f->slots[2].layers.empty());
    // Row 1 asks for slot −1 → slot 1; row 2 repeats slot 0; row 3 asks for
    // slot 3 → slot 0 as well (3 mod 3), repeated; slot 2 failed.
    std::vector<int> ids = {0, -1, 0, 3}, toks = {1, 2, 3, 4}, out = {-9, -9, -9, -9};
    f->multi_decode_step(ids.data(), toks.data(), 3, out.data());
    EXPECT_GE(out[0], 0);
    EXPECT_GE(out[1], 0);
    EXPECT_EQ(out[2], -9);
    EXPECT_EQ(out[3], -9);
    EXPECT_EQ(f->slots[0].pos, 5);
    EXPECT_EQ(f->slots[1].pos, 5);
    std::vector<int> failed = {2};
    f->multi_decode_step(failed.data(), toks.data(), 1, out.data() + 3);
    EXPECT_EQ(out[3], -9);
    // Bad arguments write nothing.
    f->multi_decode_step(nullptr, toks.data(), 1, out.data());
    f->multi_decode_step(ids.data(), toks.data(), 0, out.data());
    EXPECT_EQ(out[2], -9);
}

// A long prompt leaves the last 128 rows of each layer; the next step
// decodes at the prompt's length and slides the full slab. A short prompt
// leaves zero rows after its own. The single sequence is empty afterwards.
TEST(BatchedDecode, SlotPrefillFillsSlabs) {
    auto f = cpuModel();
    f->forward(prompt(6, 9)); // a single sequence that the slot prefill empties
    f->multi_seq_init(2);
    f->multi_seq_prefill(0, prompt(300, 1));
    f->multi_seq_prefill(1, prompt(5, 2));
    EXPECT_EQ(f->n_past, 0);
    for (const auto& c : f->caches) {
        EXPECT_TRUE(c.x_rows.empty() && c.qa_rows.empty() && c.kv_rows.empty() && c.comp_kv.empty());
        EXPECT_EQ(c.n_comp + c.n_idx + c.n_rows, 0);
    }
    const auto& big = f->slots[0];
    EXPECT_EQ(big.pos, 300);
    for (const auto& c : big.layers) {
        EXPECT_EQ(c.n_rows, 128);
        EXPECT_LE(c.n_comp, 32);
        EXPECT_LE(c.n_idx, 32);
    }
    const auto& small = f->slots[1];
    EXPECT_EQ(small.pos, 5);
    for (const auto& c : small.layers) {
        EXPECT_EQ(c.n_rows, 5);
        EXPECT_LE(c.n_comp, 1);
        EXPECT_TRUE(std::all_of(c.kv_rows.begin() + 5 * f->head_dim, c.kv_rows.end(), [](float x) { return x == 0; }));
        EXPECT_TRUE(std::all_of(c.x_rows.begin() + 5 * f->n_embd, c.x_rows.end(), [](float x) { return x == 0; }));
    }
    // The big slot's raw rows are the prompt's last 128 positions: the last
    // one equals the single-sequence prefill's last row.
    auto alone = cpuModel();
    alone->forward(prompt(300, 1));
    const auto& ref = alone->caches[0];
    ASSERT_GE(ref.kv_rows.size(), size_t(300) * f->head_dim);
    EXPECT_TRUE(std::equal(big.layers[0].kv_rows.begin(), big.layers[0].kv_rows.begin() + f->head_dim,
                           ref.kv_rows.begin() + 172 * f->head_dim));

    std::vector<int> ids = {0, 1}, toks = {3, 4}, out = {-1, -1};
    f->multi_decode_step(ids.data(), toks.data(), 2, out.data());
    EXPECT_EQ(f->slots[0].pos, 301);
    EXPECT_EQ(f->slots[0].layers[0].n_rows, 128);
    EXPECT_EQ(f->slots[1].layers[0].n_rows, 6);
    EXPECT_GE(out[0], 0);
}

// The compressed rows a step makes for all its slots at once carry the bits
// of the per-slot route on the same history: for a slot whose slab slid
// (every block made again, windows starting past position 0) and for slots
// completing blocks as they go.
TEST(BatchedDecode, CompressedRowsMatchThePerSlotRoute) {
    auto f = cpuModel();
    const std::vector<std::vector<int32_t>> prompts = {prompt(300, 1), prompt(9, 2), prompt(14, 3)};
    const int B = int(prompts.size()), steps = 6;
    f->multi_seq_init(B);
    std::vector<std::vector<int64_t>> fromComp(B), fromIdx(B); // rows the prefill made
    for (int s = 0; s < B; ++s) {
        f->multi_seq_prefill(s, prompts[size_t(s)]);
        for (const auto& c : f->slots[size_t(s)].layers) {
            fromComp[size_t(s)].push_back(c.n_comp);
            fromIdx[size_t(s)].push_back(c.n_idx);
        }
    }
    decodeSteps(*f, B, fixedInputs(B, steps), steps);
    int compared = 0;
    for (int s = 0; s < B; ++s)
        for (int il = 0; il < f->n_layer; ++il) {
            const int r = f->compress_ratio[size_t(il)];
            if (r < 1) continue;
            auto& c = f->slots[size_t(s)].layers[size_t(il)];
            const int64_t firstPos = f->slots[size_t(s)].pos - c.n_rows;
            struct Set {
                const char* prefix;
                int64_t C;
                int r;
                const std::vector<float>& rows;
                int64_t made, from;
            };
            std::vector<Set> sets = {{"attn_compressor", f->head_dim, r, c.comp_kv, c.n_comp, fromComp[size_t(s)][size_t(il)]}};
            if (r == 4 && f->has(il, "indexer.proj.weight"))
                sets.push_back({"indexer_compressor", f->ix_dim, 4, c.idx_keys, c.n_idx, fromIdx[size_t(s)][size_t(il)]});
            for (const Set& set : sets) {
                std::vector<float> rows;
                int64_t covered = 0, done = 0;
                f->compressor_inc_from_(il, set.prefix, c.x_rows.data(), firstPos, set.C, set.r, c.n_rows, covered, rows,
                                        done);
                ASSERT_EQ(done, set.made) << "slot " << s << " layer " << il << " " << set.prefix;
                for (int64_t i = set.from; i < set.made; ++i, ++compared)
                    EXPECT_EQ(std::memcmp(rows.data() + i * set.C, set.rows.data() + i * set.C, size_t(set.C) * 4), 0)
                        << "slot " << s << " layer " << il << " " << set.prefix << " row " << i;
            }
        }
    EXPECT_GT(compared, 0);
}

// Each row's keys and mask from the rows-in-parallel route equal the
// per-slot route's on a layer with the sparse indexer, its selection
// narrowed to a few blocks so that the scores decide the mask.
TEST(BatchedDecode, KeysAndMasksMatchThePerSlotRoute) {
    auto f = cpuModel();
    f->ix_top_k = 3;
    const std::vector<std::vector<int32_t>> prompts = {prompt(300, 1), prompt(9, 2), prompt(26, 3)};
    const int B = int(prompts.size()), steps = 5;
    together(*f, prompts, fixedInputs(B, steps), steps);
    int il = 0;
    while (il < f->n_layer && !(f->compress_ratio[size_t(il)] == 4 && f->has(il, "indexer.proj.weight"))) ++il;
    ASSERT_LT(il, f->n_layer);

    // Back to the last step of that layer: each row's newest input rows.
    const int64_t E = f->n_embd, Q = f->q_rank, D = f->head_dim, room = 256;
    auto& a = f->arena;
    for (int j = 0; j < B; ++j) {
        auto& s = f->slots[size_t(a.row_slot[size_t(j)])];
        const auto& c = s.layers[size_t(il)];
        s.pos -= 1;
        std::copy_n(c.x_rows.begin() + (c.n_rows - 1) * E, E, a.xn.begin() + j * E);
        std::copy_n(c.qa_rows.begin() + (c.n_rows - 1) * Q, Q, a.qn.begin() + j * Q);
    }
    ASSERT_TRUE(f->keys_masks_batched_(il, 4, B));
    int narrowed = 0;
    for (int j = 0; j < B; ++j) {
        auto& s = f->slots[size_t(a.row_slot[size_t(j)])];
        auto& c = s.layers[size_t(il)];
        std::vector<int> pos(size_t(c.n_rows));
        for (int64_t k = 0; k < c.n_rows; ++k) pos[size_t(k)] = int(s.pos - c.n_rows + 1 + k);
        std::vector<float> keys(static_cast<size_t>(room * D)), mask(static_cast<size_t>(room));
        float *keysUsed = nullptr, *maskUsed = nullptr;
        int64_t nKeys = 0;
        f->build_kv_and_mask_inc_(il, 4, c, pos.data(), c.n_rows, &keysUsed, &maskUsed, nKeys, keys.data(), mask.data());
        ASSERT_EQ(a.n_keys[size_t(j)], nKeys) << "row " << j;
        EXPECT_EQ(std::memcmp(a.keys.data() + j * room * D, keys.data(), size_t(nKeys * D) * 4), 0) << "row " << j;
        EXPECT_EQ(std::memcmp(a.masks.data() + j * room, mask.data(), size_t(nKeys) * 4), 0) << "row " << j;
        narrowed += int(std::count(mask.begin() + c.n_rows, mask.begin() + nKeys, -INFINITY) > 0);
        s.pos += 1;
    }
    EXPECT_GT(narrowed, 0); // the selection dropped blocks somewhere
}

} // namespace
