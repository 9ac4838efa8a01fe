// The swarm entry points on an engine handle: synthetic swarm ids, the swarm
// step and draft verification on the scaffold and a dense model, the LoRA
// registry and the KV paging answers.
#include "DenseFixture.h"
#include "engine/vm_v2/dkv_hash_table.h"
#include "engine/vm_v2/lora_manager.h"
#include "engine/vm_v2/swarm_ids.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/WaitUntil.h"
#include "vm_engine_v2.h"
#include "vm_swarm.h"

#include <atomic>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

using namespace densetest;

namespace {

struct Handle {
    explicit Handle(const std::string& path) : h(vivirov_vm_v2_create(path.c_str())) {}
    ~Handle() { vivirov_vm_v2_destroy(h); }
    // The handle block begins with the engine object.
    vivirov::VMEngineV2& engine() { return *reinterpret_cast<vivirov::VMEngineV2*>(h); }
    EngineWrapper* h;
};

} // namespace

TEST(SwarmIds, KnownSeeds) {
    using Ids = std::array<uint32_t, 8>;
    EXPECT_EQ(vivirov::swarm_ids(0, std::nullopt), (Ids{21909, 35066, 12375, 25811, 47639, 5631, 39136, 33916}));
    EXPECT_EQ(vivirov::swarm_ids(1, std::nullopt), (Ids{44750, 41429, 46015, 42711, 29339, 38850, 5921, 33746}));
    EXPECT_EQ(vivirov::swarm_ids(0, 33916u), (Ids{42277, 8047, 9026, 38025, 34907, 7533, 45980, 49462}))
        << "seeded by the agent's last id";
}

TEST(SwarmEntry, ScaffoldVerificationAndSwarmStep) {
    Handle e("scaffold://no-model");
    ASSERT_NE(e.h, nullptr);
    struct Case {
        std::vector<uint32_t> draft;
        int32_t result, accepted;
    } cases[] = {
        {{5, 6, 7, 9}, 0, 3}, // the scaffold predicts t + 1: 9 is not 8
        {{5}, 0, 1},
        {{127, 0, 1}, 0, 3},
        {{5, 7}, 0, 1},
    };
    for (const Case& c : cases) {
        int32_t accepted = -7;
        EXPECT_EQ(vmb_forward_verify_draft(e.h, 4, c.draft.data(), int32_t(c.draft.size()), &accepted), c.result);
        EXPECT_EQ(accepted, c.accepted) << c.draft.size();
    }
    uint32_t one = 5;
    int32_t accepted = -7;
    EXPECT_EQ(vmb_forward_verify_draft(e.h, 4, &one, 0, &accepted), -1);
    EXPECT_EQ(accepted, 0);
    accepted = -7;
    EXPECT_EQ(vmb_forward_verify_draft(nullptr, 4, &one, 1, &accepted), -1);
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(vmb_forward_verify_draft(e.h, 4, nullptr, 1, nullptr), -1);
    uint32_t outside = 500;
    EXPECT_EQ(vmb_forward_verify_draft(e.h, 4, &outside, 1, &accepted), -1) << "id outside the vocabulary";

    const uint32_t agents[] = {3, 9, 12};
    EXPECT_EQ(vmb_forward_swarm(e.h, agents, 3), 3);
    EXPECT_EQ(vmb_forward_swarm(e.h, agents, 0), 0);
    EXPECT_EQ(vmb_forward_swarm(e.h, nullptr, 3), 0);
    EXPECT_EQ(vmb_forward_swarm(nullptr, agents, 3), 0);
}

TEST(SwarmEntry, LoRARegistryAndKVPagingAnswers) {
    Handle e("scaffold://no-model");
    const std::vector<float> A1 = {1, 2, 3, 4, 5, 6}, B1 = {7, 8, 9, 10};
    EXPECT_EQ(vmb_register_lora_agent_mem(e.h, 11, A1.data(), B1.data(), 3, 2, 2, 0.5f), 0);
    std::vector<float> bigA(64 * 1024, 0.25f), bigB(64 * 1024, -1.0f);
    EXPECT_EQ(vmb_register_lora_agent_mem(e.h, 12, bigA.data(), bigB.data(), 1024, 1024, 64, 1.0f), 1);
    EXPECT_EQ(vmb_register_lora_agent_mem(e.h, 11, A1.data(), B1.data(), 3, 2, 2, 2.0f), 2);
    EXPECT_EQ(vmb_register_lora_agent_mem(nullptr, 11, A1.data(), B1.data(), 3, 2, 2, 2.0f), -1);

    const vivirov::VMEngineV2& engine = e.engine();
    EXPECT_EQ(engine.lora_agents_.at(11), 2);
    EXPECT_EQ(engine.lora_agents_.at(12), 1);
    // The first adapter's matrices survive the pool growing under it.
    const lora::LoRAWeight& w0 = engine.lora_.adapters.at(0);
    EXPECT_EQ(std::vector<float>(w0.a, w0.a + 6), A1);
    EXPECT_EQ(std::vector<float>(w0.b, w0.b + 4), B1);
    EXPECT_EQ(w0.b_off, 6u);
    const lora::LoRAWeight& w2 = engine.lora_.adapters.at(2);
    EXPECT_EQ(w2.a_off, 10u + 2 * 64 * 1024);
    EXPECT_EQ(w2.scale, 2.0f);
    EXPECT_EQ(std::vector<float>(w2.a, w2.a + 6), A1);

    char buf[64] = {};
    EXPECT_EQ(vmb_kv_page_in(e.h, 0, buf, 64), 3) << "the engine opens no pager";
    EXPECT_EQ(vmb_kv_page_out(e.h, 0, buf, 64), 3);
    EXPECT_EQ(vmb_kv_page_in(nullptr, 0, buf, 64), 3);
    EXPECT_EQ(vmb_kv_page_out(nullptr, 0, buf, 64), 3);
}

// On a dense model: the swarm step and the draft check, for the agent of a
// running CPU-path sequence, leave that sequence's rows alone, keep none of
// their own and give every GPU slot back; a draft of the model's own
// greedy tokens is accepted whole, one that departs at its second token stops
// at 1; a draft longer than a GPU slot is checked on the CPU path.
TEST(SwarmEntry, DenseSwarmStepAndVerificationCleanUp) {
    TempDir dir;
    QwenModel m(shapeOf(GGUFWriter::GQ8_0));
    const std::string path = writeModel(dir, m, "m.gguf");
    for (const char* no_fuse : {"1", static_cast<const char*>(nullptr)}) {
        vivirov::test::ScopedEnv env("VM_NO_FUSE", no_fuse ? std::optional<std::string>(no_fuse) : std::nullopt);
        Handle e(path);
        ASSERT_NE(e.h, nullptr);
        vivirov::VMEngineV2& engine = e.engine();
        const size_t slots = engine.free_slots_.size();
        // A running CPU-path sequence of agent 1 with three positions stored.
        (void)decode(engine, Step::Cpu, 1, {40, 41, 42}, 0);
        const uint64_t rows = 3 * 2;
        auto running_rows_intact = [&] {
            int found = 0;
            for (int32_t p = 0; p < 3; ++p)
                for (int32_t l = 0; l < 2; ++l)
                    found += engine.kv_->lookup(vivirov::fmix32(1u * 1000003u + uint32_t(p)),
                                                vivirov::fmix32(uint32_t(l) ^ 0x9999u) | 1u, uint64_t(p)) != nullptr;
            return found == int(rows) && engine.kv_->live() == rows;
        };
        ASSERT_TRUE(running_rows_intact());

        const uint32_t agents[] = {1, 2, 3};
        EXPECT_EQ(vmb_forward_swarm(e.h, agents, 3), 3);
        EXPECT_TRUE(running_rows_intact()) << "the swarm step neither reads nor removes a running sequence's rows";
        EXPECT_EQ(engine.free_slots_.size(), slots);

        std::vector<int> ids = {17};
        for (int k = 0; k < 5; ++k) {
            const auto logits = m.referenceLogits(ids).back();
            ids.push_back(int(std::max_element(logits.begin(), logits.end()) - logits.begin()));
        }
        std::vector<uint32_t> draft(ids.begin(), ids.end());
        int32_t accepted = 0;
        EXPECT_EQ(vmb_forward_verify_draft(e.h, 1, draft.data(), int32_t(draft.size()), &accepted), 0);
        EXPECT_EQ(accepted, int32_t(draft.size()));
        draft[1] = (draft[1] + 1) % 320;
        EXPECT_EQ(vmb_forward_verify_draft(e.h, 1, draft.data(), int32_t(draft.size()), &accepted), 0);
        EXPECT_EQ(accepted, 1);

        std::vector<uint32_t> longDraft(130, 7);
        EXPECT_EQ(vmb_forward_verify_draft(e.h, 1, longDraft.data(), 130, &accepted), 0);
        EXPECT_GE(accepted, 1);
        EXPECT_TRUE(running_rows_intact()) << "draft checks keep to their own rows";
        EXPECT_EQ(engine.free_slots_.size(), slots);
        engine.kv_forget_(1, 3);
    }
}

namespace {

struct Collected {
    std::mutex mu;
    std::map<uint32_t, std::vector<int32_t>> tokens;
    int finals = 0;
    static void hook(uint32_t agent, int32_t token, bool final, void* ctx) {
        auto* c = static_cast<Collected*>(ctx);
        std::lock_guard<std::mutex> lock(c->mu);
        c->tokens[agent].push_back(token);
        c->finals += final ? 1 : 0;
    }
};

// Runs two requests to their end; with `interfere`, another thread keeps
// calling the swarm step and the draft check meanwhile.
std::map<uint32_t, std::vector<int32_t>> runRequests(EngineWrapper* h, bool interfere) {
    Collected c;
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    std::thread other;
    if (interfere)
        other = std::thread([&] {
            const uint32_t agents[] = {1, 2, 9};
            const uint32_t draft[] = {5, 6, 7, 8};
            int32_t accepted = 0;
            while (!done.load()) {
                EXPECT_EQ(vmb_forward_swarm(h, agents, 3), 3);
                EXPECT_EQ(vmb_forward_verify_draft(h, 2, draft, 4, &accepted), 0);
                rounds++;
            }
        });
    EXPECT_TRUE(vivirov::test::waitUntil([&] { return !interfere || rounds.load() > 0; }));
    const uint32_t p1[] = {5, 6, 7}, p2[] = {200, 100};
    EXPECT_EQ(vivirov_vm_v2_infer_async(h, 1, p1, 3, &Collected::hook, &c), 1);
    EXPECT_EQ(vivirov_vm_v2_infer_async(h, 2, p2, 2, &Collected::hook, &c), 1);
    EXPECT_TRUE(vivirov::test::waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(c.mu);
            return c.finals == 2;
        },
        std::chrono::seconds(300)));
    done = true;
    if (other.joinable()) other.join();
    std::lock_guard<std::mutex> lock(c.mu);
    return c.tokens;
}

} // namespace

// The swarm step and the draft check on the caller's thread, for the same
// agents as running requests, change none of those requests' tokens, on the
// CPU path and in GPU slots.
TEST(SwarmEntry, CallerThreadStepsLeaveRunningRequestsAlone) {
    TempDir dir;
    QwenShape s;
    s.type = GGUFWriter::GQ8_0;
    s.embdType = GGUFWriter::GQ8_0;
    QwenModel m(s);
    const std::string path = writeModel(dir, m, "small.gguf");
    for (const char* no_fuse : {"1", static_cast<const char*>(nullptr)}) {
        vivirov::test::ScopedEnv env("VM_NO_FUSE", no_fuse ? std::optional<std::string>(no_fuse) : std::nullopt);
        Handle e(path);
        ASSERT_NE(e.h, nullptr);
        const auto alone = runRequests(e.h, false);
        ASSERT_EQ(alone.at(1).size(), 32u);
        EXPECT_EQ(runRequests(e.h, true), alone) << (no_fuse ? "CPU path" : "GPU slots");
        EXPECT_EQ(e.engine().kv_->live(), 0u);
    }
}
