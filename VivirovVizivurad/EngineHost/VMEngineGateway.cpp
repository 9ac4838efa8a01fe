#include "VivirovVizivurad/EngineHost/VMEngineGateway.h"

#include <algorithm>
#include <limits>

#include "VivirovKit/Support/Log.h"
#include "VivirovKit/Support/Text.h"
#include "VivirovVizivurad/EngineHost/ChatTextSink.h"
#include "engine/include/vm_engine_v2.h"
#include "engine/include/vm_swarm.h"

namespace vivirov {

namespace {

std::mutex& globalGate() {
    static std::mutex gate;
    return gate;
}

std::weak_ptr<VMEngineGateway>& sharedGateway() {
    static std::weak_ptr<VMEngineGateway> gateway;
    return gateway;
}

// Values the engine takes as signed 32-bit; anything larger is never valid.
bool fitsInt32(int64_t value) { return value >= 0 && value <= std::numeric_limits<int32_t>::max(); }

constexpr size_t kEncodeCapacity = 256;

} // namespace

// The callbacks of one request. The engine carries its address as the hook's
// context and holds no reference: the gateway's maps do, until it ends.
struct VMEngineGateway::TokenCtx {
    VMEngineGateway* owner;
    OnToken onToken;
    Callback onPreempt;
    Callback onDone;
};

std::shared_ptr<VMEngineGateway> VMEngineGateway::create(const std::string& modelPath) {
    auto gateway = std::make_shared<VMEngineGateway>(modelPath);
    std::lock_guard lock(globalGate());
    sharedGateway() = gateway;
    return gateway;
}

std::shared_ptr<VMEngineGateway> VMEngineGateway::shared() {
    std::lock_guard lock(globalGate());
    return sharedGateway().lock();
}

VMEngineGateway::VMEngineGateway(const std::string& modelPath) : vm_(vivirov_vm_v2_create(modelPath.c_str())) {}

VMEngineGateway::~VMEngineGateway() {
    // Joins the engine's threads: no hook runs after this.
    if (vm_) vivirov_vm_v2_destroy(vm_);
    {
        std::lock_guard lock(ctxLock_);
        liveCtx_.clear();
        displacedCtx_.clear();
    }
    // The registration is already expired here (this gateway is being
    // destroyed); drop it so the registry holds nothing stale.
    std::lock_guard lock(globalGate());
    if (sharedGateway().expired()) sharedGateway().reset();
}

// MARK: chat generation

std::string VMEngineGateway::generateText(const std::string& prompt, int maxTokens,
                                          const std::function<void(const std::string&)>& onPiece) {
    if (!vm_) {
        logLine("[vm-gateway] generateText: engine not ready");
        return {};
    }
    const int n = std::clamp(maxTokens, 8, 64);
    ChatTextSink sink(onPiece);
    std::unique_lock chat(chatLock_);
    const int32_t rc = vivirov_vm_v2_chat_generate(vm_, prompt.c_str(), n, &ChatTextSink::piece, &sink);
    chat.unlock();
    sink.finish();
    const std::string text = sink.text();
    std::string preview = text::graphemePrefix(text, 160);
    std::replace(preview.begin(), preview.end(), '\n', ' ');
    logLine("[vm-gateway] generateText: rc=" + std::to_string(rc) + " chars=" +
            std::to_string(text::graphemeCount(text)) + " preview=" + preview);
    return text;
}

void VMEngineGateway::requestStop() {
    if (vm_) vivirov_vm_v2_request_stop(vm_);
}

// MARK: tokenising and the bench

std::optional<std::vector<uint32_t>> VMEngineGateway::encodeText(const std::string& text) {
    if (!vm_) return std::nullopt;
    std::vector<uint32_t> ids(kEncodeCapacity, 0);
    const int32_t n = vivirov_vm_v2_encode(vm_, text.c_str(), ids.data(), int32_t(kEncodeCapacity));
    if (n < 1) return std::nullopt;
    ids.resize(std::min<size_t>(size_t(n), kEncodeCapacity));
    return ids;
}

std::optional<VMEngineGateway::BatchTPSResult> VMEngineGateway::benchBatchTPS(int B, int nDecode) {
    if (!vm_) return std::nullopt;
    vivirov_vm_v2_apply_working_recipe();
    double tps = 0, wall = 0;
    int32_t tokens = 0;
    std::lock_guard chat(chatLock_);
    const int32_t rc = vivirov_vm_v2_bench_batch_tps(vm_, B, nDecode, &tps, &wall, &tokens);
    if (rc != 0 || !(tps > 0)) return std::nullopt;
    return BatchTPSResult{tps, wall, int(tokens)};
}

// MARK: agent requests

bool VMEngineGateway::submit(uint32_t agentID, const std::vector<uint32_t>& prompt, OnToken onToken,
                             Callback onPreempt, Callback onDone) {
    if (!vm_) {
        if (onDone) onDone();
        return true;
    }
    auto ctx = std::make_shared<TokenCtx>(TokenCtx{this, std::move(onToken), std::move(onPreempt), std::move(onDone)});
    TokenCtx* raw = ctx.get();
    {
        std::lock_guard lock(ctxLock_);
        auto it = liveCtx_.find(agentID);
        if (it != liveCtx_.end()) {
            // The earlier request may still be running: the engine would call
            // the hook with its context, so it must outlive that request.
            displacedCtx_.emplace(agentID, std::move(it->second));
            it->second = std::move(ctx);
        } else {
            liveCtx_.emplace(agentID, std::move(ctx));
        }
    }
    const int32_t queued =
        vivirov_vm_v2_infer_async(vm_, agentID, prompt.data(), uint32_t(prompt.size()), &requestHook, raw);
    if (queued == 1) return true;
    // Refused: the engine never saw the context.
    std::shared_ptr<TokenCtx> dropped;
    std::lock_guard lock(ctxLock_);
    auto it = liveCtx_.find(agentID);
    if (it != liveCtx_.end() && it->second.get() == raw) {
        dropped = std::move(it->second);
        liveCtx_.erase(it);
        // The request it displaced is again the agent's live one.
        auto previous = displacedCtx_.find(agentID);
        if (previous != displacedCtx_.end()) {
            liveCtx_.emplace(agentID, std::move(previous->second));
            displacedCtx_.erase(previous);
        }
    }
    return false;
}

void VMEngineGateway::requestHook(uint32_t agentID, int32_t token, bool final, void* ctx) {
    if (ctx == nullptr) return;
    auto* context = static_cast<TokenCtx*>(ctx);
    VMEngineGateway* owner = context->owner;
    if (token == -1) {
        if (!final) return;
        // A pause and a pump fault both end the request without a token;
        // only a pause can be resumed. A faulted request ends for good.
        if (!owner->pumpHalted()) {
            if (context->onPreempt) context->onPreempt();
            return;
        }
        logLine("[vm-gateway] agent " + std::to_string(agentID) + " ended by an engine fault");
        auto held = owner->releaseCtx(agentID, context);
        if (context->onDone) context->onDone();
        return;
    }
    if (context->onToken) context->onToken(uint32_t(token));
    if (!final) return;
    // Held until the callbacks below have returned.
    auto held = owner->releaseCtx(agentID, context);
    if (context->onDone) context->onDone();
}

std::shared_ptr<VMEngineGateway::TokenCtx> VMEngineGateway::releaseCtx(uint32_t agentID, TokenCtx* raw) {
    std::lock_guard lock(ctxLock_);
    auto it = liveCtx_.find(agentID);
    if (it != liveCtx_.end() && it->second.get() == raw) {
        auto held = std::move(it->second);
        liveCtx_.erase(it);
        return held;
    }
    auto [first, last] = displacedCtx_.equal_range(agentID);
    for (auto d = first; d != last; ++d) {
        if (d->second.get() != raw) continue;
        auto held = std::move(d->second);
        displacedCtx_.erase(d);
        return held;
    }
    return nullptr;
}

bool VMEngineGateway::pumpHalted() const {
    return vm_ && vivirov_vm_v2_pump_status(vm_, nullptr, 0) == VIVIROV_VM_V2_PUMP_HALTED;
}

size_t VMEngineGateway::liveContextCount() const {
    std::lock_guard lock(ctxLock_);
    return liveCtx_.size() + displacedCtx_.size();
}

bool VMEngineGateway::pause(uint32_t agentID) { return vm_ && vivirov_vm_v2_pause(vm_, agentID) == 1; }

bool VMEngineGateway::resume(uint32_t agentID) { return vm_ && vivirov_vm_v2_resume(vm_, agentID) == 1; }

// MARK: swarm services

int VMEngineGateway::forwardSwarm(const std::vector<uint32_t>& agentIDs) {
    if (!vm_ || !fitsInt32(int64_t(agentIDs.size()))) return -1;
    std::vector<uint32_t> ids;
    ids.reserve(agentIDs.size());
    for (uint32_t id : agentIDs) {
        if (!fitsInt32(id)) return -1;
        ids.push_back(id);
    }
    return vmb_forward_swarm(vm_, ids.data(), int32_t(ids.size()));
}

int VMEngineGateway::forwardVerifyDraft(uint32_t agentID, const std::vector<uint32_t>& draftTokens,
                                        int& acceptedOut) {
    if (!vm_ || !fitsInt32(int64_t(draftTokens.size()))) return -1;
    int32_t accepted = 0;
    const int32_t rc = vmb_forward_verify_draft(vm_, agentID, draftTokens.data(), int32_t(draftTokens.size()),
                                                &accepted);
    acceptedOut = accepted;
    return rc;
}

int VMEngineGateway::kvPageIn(uint32_t agentID, void* dst, int64_t bytes) {
    if (!vm_) return -1;
    if (!fitsInt32(agentID) || !fitsInt32(bytes)) return 3;
    return vmb_kv_page_in(vm_, int32_t(agentID), dst, int32_t(bytes));
}

int VMEngineGateway::kvPageOut(uint32_t agentID, const void* src, int64_t bytes) {
    if (!vm_) return -1;
    if (!fitsInt32(agentID) || !fitsInt32(bytes)) return 3;
    return vmb_kv_page_out(vm_, int32_t(agentID), src, int32_t(bytes));
}

int VMEngineGateway::registerLoraAgent(uint32_t agentID, const std::vector<float>& A, const std::vector<float>& B,
                                       int64_t inDim, int64_t outDim, int64_t rank, float scale) {
    if (!vm_) return -1;
    if (!fitsInt32(agentID) || !fitsInt32(inDim) || !fitsInt32(outDim) || !fitsInt32(rank)) return -1;
    // The engine reads rank × dim floats from each: shorter buffers are refused.
    if (A.size() < size_t(rank * inDim) || B.size() < size_t(rank * outDim)) return -1;
    return vmb_register_lora_agent_mem(vm_, int32_t(agentID), A.data(), B.data(), int32_t(inDim), int32_t(outDim),
                                       int32_t(rank), scale);
}

} // namespace vivirov
