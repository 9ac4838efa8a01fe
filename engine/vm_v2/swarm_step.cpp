// The swarm step and the draft check on the caller's thread: temporary
// sequences decoded with the pump's own steps, under the engine mutex the
// pump holds for its dense steps, so neither ever shares a GPU slot, the row
// buffers or the key/value table mid-step with a running request. On a
// DeepSeek-V4 engine a temporary sequence carries its own saved state, which
// the engine's step swaps into the forward object and out again around each
// step, exactly as for a request: the running requests' state is never used.
#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "vm_v2/dkv_hash_table.h"
#include "vm_v2/swarm_ids.h"
#include "vm_v2/swarm_kv_pager.h"
#include "vm_v2/vm_engine_v2.h"

namespace vivirov {

namespace {

constexpr uint64_t kScratchCapacity = 1ull << 20;
constexpr uint64_t kScratchPoolBytes = 16ull << 20;

// A temporary sequence that gives back what it took: its GPU slot, or its
// rows in the private key/value table it decodes with on the CPU. A
// DeepSeek-V4 one takes nothing of the engine: its state dies with it.
class TemporarySequence {
public:
    TemporarySequence(VMEngineV2& e, uint32_t agent, bool may_take_slot) : e_(e) {
        seq.agent_id = agent;
        if (e.is_zov4_) return;
        if (may_take_slot && e.fused_ && !e.free_slots_.empty()) {
            seq.gpu_slot = e.free_slots_.back();
            e.free_slots_.pop_back();
            return;
        }
        if (!e.swarm_kv_)
            e.swarm_kv_.reset(new DKVHashTable(kScratchCapacity, kScratchPoolBytes,
                                               uint16_t((uint32_t(e.kv_dim_) & 0x1FFFu) * 8u)));
        e.kv_.swap(e.swarm_kv_);
        swapped_ = true;
    }
    ~TemporarySequence() {
        if (seq.gpu_slot >= 0) {
            e_.free_slot(seq.gpu_slot);
        } else if (swapped_) {
            e_.kv_forget_(seq.agent_id, seq.pos + 1); // + 1: a step that threw may have stored its position
            e_.kv_.swap(e_.swarm_kv_);
        }
    }
    TemporarySequence(const TemporarySequence&) = delete;
    TemporarySequence& operator=(const TemporarySequence&) = delete;

    // One decode step of the current token; the position moves on.
    int32_t step() {
        const int32_t next = e_.is_zov4_        ? e_.forward_one_zov4(seq)
                             : seq.gpu_slot >= 0 ? e_.forward_one_gpu(seq)
                                                 : e_.forward_one_cpu(seq);
        seq.pos += 1;
        seq.generated += 1;
        return next;
    }

    VMEngineV2::ActiveSequence seq;

private:
    VMEngineV2& e_;
    bool swapped_ = false;
};

// The swarm step of several agents on a DeepSeek-V4 engine: eight synthetic
// ids per agent, all prefilled as one temporary sequence. Ids are folded into
// the vocabulary for feeding (a smaller vocabulary than the ids' range would
// refuse them); the agents' last ids seed their next step unfolded.
int32_t zov4_swarm_batch(VMEngineV2& e, const std::vector<uint32_t>& agents) {
    std::vector<std::array<uint32_t, kSwarmIdsPerAgent>> ids;
    ids.reserve(agents.size());
    for (size_t j = 0; j < agents.size(); ++j) {
        const auto last = e.swarm_last_.find(agents[j]);
        ids.push_back(swarm_ids(uint32_t(j), last == e.swarm_last_.end() ? std::nullopt
                                                                         : std::optional<uint32_t>(uint32_t(last->second))));
    }
    const uint32_t limit = uint32_t(std::max(1, e.id_limit()));
    TemporarySequence t(e, agents.front(), false);
    for (const auto& list : ids)
        for (uint32_t id : list) t.seq.tokens.push_back(int32_t(id % limit));
    t.seq.token = t.seq.tokens.back();
    t.seq.tokens.pop_back(); // the step appends the token it feeds: one prefill of all of them
    (void)t.step();
    for (size_t j = 0; j < agents.size(); ++j) e.swarm_last_[agents[j]] = int32_t(ids[j].back());
    return int32_t(agents.size()) * kSwarmIdsPerAgent;
}

} // namespace

int32_t VMEngineV2::forward_swarm(const uint32_t* agent_ids, int32_t n) {
    if (!agent_ids || n < 1) return 0;
    const std::vector<uint32_t> agents(agent_ids, agent_ids + n);
    std::lock_guard<std::mutex> lock(dense_mu_);
    if (is_zov4_ && !zov4_) return 0;
    if (is_zov4_ && n >= 2) return zov4_swarm_batch(*this, agents);
    for (uint32_t agent : agents) {
        TemporarySequence t(*this, agent, true);
        (void)t.step();
    }
    return n;
}

int32_t VMEngineV2::forward_verify_draft(uint32_t agent, const uint32_t* draft, int32_t n, int32_t* accepted) {
    if (accepted) *accepted = 0;
    if (!draft || n < 1) return -1;
    for (int32_t k = 0; k < n; ++k)
        if (draft[k] >= uint32_t(id_limit())) return -1;
    std::lock_guard<std::mutex> lock(dense_mu_);
    if (is_zov4_ && !zov4_) return -1;
    // A slot holds 128 positions; a longer draft is checked on the CPU path.
    TemporarySequence t(*this, agent, n <= kGpuSlotPositions);
    int32_t ok = n;
    for (int32_t k = 0; k < n; ++k) {
        t.seq.token = int32_t(draft[k]);
        const int32_t predicted = t.step();
        if (k + 1 < n && uint32_t(predicted) != draft[k + 1]) {
            ok = k + 1;
            break;
        }
    }
    if (accepted) *accepted = ok;
    return 0;
}

int32_t VMEngineV2::register_lora(uint32_t agent, const float* A, const float* B, int32_t in_dim, int32_t out_dim,
                                  int32_t rank, float scale) {
    std::lock_guard<std::mutex> lock(dense_mu_);
    const int32_t index = lora_.add_adapter(in_dim, out_dim, rank, scale, A, B);
    if (index >= 0) lora_agents_[agent] = index;
    return index;
}

void VMEngineV2::KVPagerDelete::operator()(vm::SwarmKVPager* pager) const { delete pager; }

} // namespace vivirov
