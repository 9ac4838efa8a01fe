#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VivirovKit/Scheduler/EngineDispatching.h"

typedef struct EngineWrapper EngineWrapper;

namespace vivirov {

// The app's one wrapper of the second-generation engine's flat functions. It
// owns one engine handle (absent when creation failed: every operation then
// answers as documented without touching an engine) and serves the agent
// scheduler as its engine.
//
// Threads: every method may be called from any thread. A request's onToken,
// onPreempt and onDone run on the engine's result thread, one call at a time.
// generateText blocks its caller and calls onPiece on that thread.
class VMEngineGateway : public EngineDispatching {
public:
    static constexpr const char* kScaffoldPath = "scaffold://no-model";

    struct BatchTPSResult {
        double tps = 0;
        double wallS = 0;
        int tokens = 0;
        bool operator==(const BatchTPSResult&) const = default;
    };

    // A gateway registered as the process's shared one (replacing any earlier).
    static std::shared_ptr<VMEngineGateway> create(const std::string& modelPath);
    // The gateway `create` registered last, while it lives.
    static std::shared_ptr<VMEngineGateway> shared();

    // A gateway that is not registered.
    explicit VMEngineGateway(const std::string& modelPath);
    // Destroys the engine (joining its threads, so no callback runs after),
    // then drops the contexts of requests that never ended.
    ~VMEngineGateway() override;
    VMEngineGateway(const VMEngineGateway&) = delete;
    VMEngineGateway& operator=(const VMEngineGateway&) = delete;

    bool isReady() const { return vm_ != nullptr; }
    EngineWrapper* engineHandle() const { return vm_; }

    // Blocking chat generation of maxTokens clamped to 8..64. Pieces reach
    // onPiece as whole characters: bytes of a character split across engine
    // pieces are carried to the next piece. Returns the whole text ("" and a
    // log line without an engine).
    std::string generateText(const std::string& prompt, int maxTokens,
                             const std::function<void(const std::string&)>& onPiece);
    // Ends a running generateText within one decode step; any thread.
    void requestStop();

    // At most 256 ids; nothing when the engine encodes no id or has no tokenizer.
    std::optional<std::vector<uint32_t>> encodeText(const std::string& text);
    // Batched decode throughput; nothing on failure or a zero rate.
    std::optional<BatchTPSResult> benchBatchTPS(int B, int nDecode);

    using EngineDispatching::submit;
    // Queues an agent request. Without an engine, onDone runs at once and the
    // result is true. A full command ring refuses it: false, no callback.
    bool submit(uint32_t agentID, const std::vector<uint32_t>& prompt, OnToken onToken, Callback onPreempt,
                Callback onDone) override;
    bool pause(uint32_t agentID) override;
    bool resume(uint32_t agentID) override;

    int forwardSwarm(const std::vector<uint32_t>& agentIDs);
    // Writes the engine's accepted count whenever an engine exists.
    int forwardVerifyDraft(uint32_t agentID, const std::vector<uint32_t>& draftTokens, int& acceptedOut);
    int kvPageIn(uint32_t agentID, void* dst, int64_t bytes);
    int kvPageOut(uint32_t agentID, const void* src, int64_t bytes);
    int registerLoraAgent(uint32_t agentID, const std::vector<float>& A, const std::vector<float>& B, int64_t inDim,
                          int64_t outDim, int64_t rank, float scale);

    // Requests whose contexts the gateway still holds (ended ones are gone).
    size_t liveContextCount() const;

private:
    struct TokenCtx;
    static void requestHook(uint32_t agentID, int32_t token, bool final, void* ctx);
    // Gives up the gateway's hold on a context whose request ended; the
    // caller keeps it alive until it returns.
    std::shared_ptr<TokenCtx> releaseCtx(uint32_t agentID, TokenCtx* raw);
    bool pumpHalted() const;

    EngineWrapper* vm_ = nullptr;
    // The engine runs one chat call or bench at a time; the start-up bench
    // and a chat turn may arrive together.
    std::mutex chatLock_;
    mutable std::mutex ctxLock_;
    std::map<uint32_t, std::shared_ptr<TokenCtx>> liveCtx_;
    // Contexts displaced by a second submit for the same agent id while their
    // request still runs: the engine still calls the hook with them, so they
    // live until their request ends.
    std::multimap<uint32_t, std::shared_ptr<TokenCtx>> displacedCtx_;
};

} // namespace vivirov
