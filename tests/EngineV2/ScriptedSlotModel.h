#pragma once
// A multi-sequence model whose answers are scripted: prefill returns a fixed
// first token (or fails), each batched decode returns next(token) per row.
// Records what it was fed.
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "engine/vm_v2/slot_model.h"

namespace vivirov::test {

struct ScriptedSlotModel {
    int64_t first = 10;
    int32_t failSlot = -1; // the prefill of this slot fails
    std::function<int(int seq, int token)> next = [](int, int t) { return 2 + (t + 1) % 100; };
    std::function<void()> onDecode; // runs before each decode call

    int initSlots = 0;
    std::vector<std::vector<int32_t>> prefills;
    std::vector<int> batchSizes;
    int decodedRows = 0;

    SlotModel model(int32_t vocab = 512) {
        SlotModel m;
        m.ctx = this;
        m.n_vocab = vocab;
        m.init = [](void* c, int n) { static_cast<ScriptedSlotModel*>(c)->initSlots = n; };
        m.prefill = [](void* c, int slot, const std::vector<int32_t>& ids) -> int64_t {
            auto* self = static_cast<ScriptedSlotModel*>(c);
            self->prefills.push_back(ids);
            return slot == self->failSlot ? -1 : self->first;
        };
        m.decode = [](void* c, const int* seqs, const int* tokens, int n, int* out) {
            auto* self = static_cast<ScriptedSlotModel*>(c);
            if (self->onDecode) self->onDecode();
            self->batchSizes.push_back(n);
            self->decodedRows += n;
            for (int i = 0; i < n; ++i) out[i] = self->next(seqs[i], tokens[i]);
        };
        return m;
    }
};

} // namespace vivirov::test
