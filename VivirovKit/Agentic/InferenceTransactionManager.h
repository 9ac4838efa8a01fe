#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "VivirovKit/Agentic/SessionBridging.h"
#include "VivirovKit/Verification/CodeVerifier.h"

namespace vivirov {

// Drives one generation of an in-process model session, treating fenced code
// blocks as transactions and cutting tool-call envelopes out of the prose.
//
// Prose reaches the reader (onText) as it arrives, a short tail behind. When
// a fence line completes, the session is snapshotted and the block held back;
// when the block closes, the verifier judges it. A valid block is committed
// in one piece; an invalid one is rolled back to the snapshot, a penalty note
// is injected and the model writes the block again, up to maxRetries times,
// after which the block is committed with a failure note. Every new state is
// reported through onState.
//
// Thread-safe: run() executes on the caller's thread (one run at a time; a
// second caller waits), while state() and cancel() may be called from any
// thread at any time, also while run() waits for the verifier or the tool
// handler. No lock is held while calling the session, the verifier or a
// callback; the callbacks run on the thread of run().
class InferenceTransactionManager {
public:
    // ---- Tool-call envelopes -------------------------------------------------

    // One envelope found in a text: the text before "<tool_call>", the JSON
    // object from its "{" to its "}" inclusive, and the text after the
    // envelope (after "</tool_call>" when it follows, else after the "}").
    struct ToolInvocation {
        std::string prefix;
        std::string inner;
        std::string suffix;
        bool operator==(const ToolInvocation&) const = default;
    };

    // The first complete envelope in `in`, or none. Positions count
    // user-perceived characters; a later envelope is found by running this
    // again on the suffix.
    static std::optional<ToolInvocation> detectToolCall(std::string_view in);

    // ---- Transactions --------------------------------------------------------

    struct TransactionState {
        enum class Kind { idle, decodingProse, transactionOpen, validating, rollingBack, penaltyInjected, executingTool };
        Kind kind = Kind::idle;
        int32_t snapshotId = 0; // transactionOpen
        std::string fenceType;  // transactionOpen, validating
        int64_t retryCount = 0; // rollingBack, penaltyInjected
        std::string name;       // executingTool: the tool's display name

        static TransactionState idle() { return {}; }
        static TransactionState decodingProse() { return of(Kind::decodingProse); }
        static TransactionState transactionOpen(int32_t snapshotId, std::string fenceType) {
            TransactionState s = of(Kind::transactionOpen);
            s.snapshotId = snapshotId;
            s.fenceType = std::move(fenceType);
            return s;
        }
        static TransactionState validating(std::string fenceType) {
            TransactionState s = of(Kind::validating);
            s.fenceType = std::move(fenceType);
            return s;
        }
        static TransactionState rollingBack(int64_t retryCount) {
            TransactionState s = of(Kind::rollingBack);
            s.retryCount = retryCount;
            return s;
        }
        static TransactionState penaltyInjected(int64_t retryCount) {
            TransactionState s = of(Kind::penaltyInjected);
            s.retryCount = retryCount;
            return s;
        }
        static TransactionState executingTool(std::string name) {
            TransactionState s = of(Kind::executingTool);
            s.name = std::move(name);
            return s;
        }
        static TransactionState of(Kind kind) {
            TransactionState s;
            s.kind = kind;
            return s;
        }
        bool operator==(const TransactionState&) const = default;
    };

    // A fence line found in a text: the text before the fence, the rest of the
    // fence line trimmed of blanks, and everything after the line feed that
    // ends the line.
    struct OpenFence {
        std::string prefix;
        std::string language;
        std::string rest;
        bool operator==(const OpenFence&) const = default;
    };

    struct Image {
        std::vector<uint8_t> rgb;
        int32_t width = 0;
        int32_t height = 0;
    };

    using OnText = std::function<void(const std::string&)>;
    using OnState = std::function<void(const TransactionState&)>;
    // Runs one tool call (the envelope's JSON object) and returns its result.
    using ToolHandler = std::function<std::string(const std::string&)>;

    // onState and toolHandler may be empty. Without a tool handler, envelopes
    // stay in the prose. A negative maxRetries counts as 0.
    InferenceTransactionManager(std::shared_ptr<SessionBridging> bridge, std::shared_ptr<CodeVerifier> verifier,
                                int64_t maxRetries, OnText onText, OnState onState, ToolHandler toolHandler);

    TransactionState state() const;
    // Stops the running generation before its next piece. Sticky: every later
    // run of this manager ends right after starting its session.
    void cancel();
    // Runs one generation to its end; all output goes through onText, every
    // state through onState. A requested `stop` ends it like cancel().
    void run(const std::string& prompt, int32_t nCtx, float temperature, float topP, uint32_t seed,
             const std::vector<Image>& images = {}, std::stop_token stop = {});

    // "Bash", "Read File" and "Write File" for the built-in tools, the tool
    // name as given for others, and "tool" for anything that is not a JSON
    // object with a string "tool" member.
    static std::string extractToolName(std::string_view json);
    // The first fence whose line is complete, or none.
    static std::optional<OpenFence> detectOpenFence(std::string_view text);

private:
    void setState(TransactionState next);
    void ingest(const std::string& piece);
    bool handleCallOrFence();
    void openTransaction(OpenFence fence);
    void runTool(const std::string& json);
    void resolve(std::string body, std::string afterClose);
    void endTransaction(std::string afterClose);
    void flushProse(bool all);
    void forceCommit(const std::string& body, std::string afterClose);
    void emit(const std::string& text);
    bool stopRequested(const std::stop_token& stop) const;
    void resetBlock();

    const std::shared_ptr<SessionBridging> bridge_;
    const std::shared_ptr<CodeVerifier> verifier_;
    const int64_t maxRetries_;
    const OnText onText_;
    const OnState onState_;
    const ToolHandler toolHandler_;

    mutable std::mutex stateMutex_;
    TransactionState state_; // guarded by stateMutex_
    std::atomic<bool> cancelled_{false};

    // Owned by the running generation (runMutex_).
    std::mutex runMutex_;
    std::string prose_;
    std::string codeBuffer_;
    std::string fenceType_;
    int32_t snapshotId_ = -1;
    int64_t retryCount_ = 0;
    // The session has stopped generating: a block can no longer be rewritten.
    bool generationOver_ = false;
};

} // namespace vivirov
