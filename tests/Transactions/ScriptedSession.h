#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "VivirovKit/Agentic/InferenceTransactionManager.h"
#include "VivirovKit/Agentic/SessionBridging.h"
#include "VivirovKit/Verification/CodeVerifier.h"
#include "VivirovKit/Verification/UniversalASTVerifier.h"

namespace vivirov {

using TransactionState = InferenceTransactionManager::TransactionState;

inline void PrintTo(const TransactionState& s, std::ostream* os) {
    static const char* names[] = {"idle",        "decodingProse",   "transactionOpen", "validating",
                                  "rollingBack", "penaltyInjected", "executingTool"};
    *os << names[int(s.kind)];
    using K = TransactionState::Kind;
    if (s.kind == K::transactionOpen) *os << "(" << s.snapshotId << ", \"" << s.fenceType << "\")";
    if (s.kind == K::validating) *os << "(\"" << s.fenceType << "\")";
    if (s.kind == K::rollingBack || s.kind == K::penaltyInjected) *os << "(" << s.retryCount << ")";
    if (s.kind == K::executingTool) *os << "(\"" << s.name << "\")";
}

namespace test {

// A model session that plays a fixed list of pieces, then reports the end of
// the generation (with `finalPiece`, which must be ignored). Every other call
// is written to the log: "begin <prompt>", "image WxH:<bytes>", "snapshot N",
// "rollback N", "inject <text>", "release", "end". Snapshot ids count from 1.
class ScriptedSession : public SessionBridging {
public:
    explicit ScriptedSession(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}

    bool beginResult = true;
    std::string finalPiece;
    // Called with the index of each piece just before it is handed out.
    std::function<void(size_t)> beforePiece;

    bool beginSession(const std::string& prompt, int32_t, float, float, uint32_t) override {
        record("begin " + prompt);
        return beginResult;
    }
    Decoded decodeNext() override {
        size_t index;
        {
            std::lock_guard lock(mutex_);
            index = decodes_++;
        }
        if (index >= pieces_.size()) return {finalPiece, true};
        if (beforePiece) beforePiece(index);
        return {pieces_[index], false};
    }
    int32_t takeSnapshot() override {
        std::lock_guard lock(mutex_);
        log_.push_back("snapshot " + std::to_string(++snapshots_));
        return snapshots_;
    }
    void rollback(int32_t to) override { record("rollback " + std::to_string(to)); }
    void injectText(const std::string& text) override { record("inject " + text); }
    void releaseSnapshot() override { record("release"); }
    int32_t injectImage(const std::vector<uint8_t>& rgb, int32_t width, int32_t height) override {
        record("image " + std::to_string(width) + "x" + std::to_string(height) + ":" + std::to_string(rgb.size()));
        return 0;
    }
    void endSession() override { record("end"); }

    std::vector<std::string> log() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    size_t decodes() const {
        std::lock_guard lock(mutex_);
        return decodes_;
    }

private:
    void record(std::string entry) {
        std::lock_guard lock(mutex_);
        log_.push_back(std::move(entry));
    }

    const std::vector<std::string> pieces_;
    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    size_t decodes_ = 0;
    int32_t snapshots_ = 0;
};

// Passes each block to another verifier (the real syntax verifier unless a
// verdict is scripted) and records what it was asked.
class RecordingVerifier : public CodeVerifier {
public:
    struct Asked {
        std::string code, language;
        bool operator==(const Asked&) const = default;
    };

    explicit RecordingVerifier(std::optional<ValidationResult> fixed = std::nullopt) : fixed_(std::move(fixed)) {}

    ValidationResult validateCodeBlock(const std::string& code, const std::string& language) override {
        {
            std::lock_guard lock(mutex_);
            asked_.push_back({code, language});
        }
        return fixed_ ? *fixed_ : real_.validateCodeBlock(code, language);
    }
    std::vector<Asked> asked() const {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    const std::optional<ValidationResult> fixed_;
    UniversalASTVerifier real_;
    mutable std::mutex mutex_;
    std::vector<Asked> asked_;
};

// One manager over a scripted session, with everything it reports recorded.
struct TransactionRig {
    std::shared_ptr<ScriptedSession> session;
    std::shared_ptr<RecordingVerifier> verifier;
    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<TransactionState> states;
    std::vector<std::string> toolCalls;
    std::unique_ptr<InferenceTransactionManager> manager;

    // `toolResult` set: a tool handler answers every call with it.
    TransactionRig(std::vector<std::string> pieces, int64_t maxRetries,
                   std::optional<std::string> toolResult = std::nullopt,
                   std::optional<ValidationResult> verdict = std::nullopt)
        : session(std::make_shared<ScriptedSession>(std::move(pieces))),
          verifier(std::make_shared<RecordingVerifier>(std::move(verdict))) {
        InferenceTransactionManager::ToolHandler handler;
        if (toolResult) {
            handler = [this, result = *toolResult](const std::string& json) {
                std::lock_guard lock(mutex);
                toolCalls.push_back(json);
                return result;
            };
        }
        manager = std::make_unique<InferenceTransactionManager>(
            session, verifier, maxRetries,
            [this](const std::string& text) {
                std::lock_guard lock(mutex);
                texts.push_back(text);
            },
            [this](const TransactionState& state) {
                std::lock_guard lock(mutex);
                states.push_back(state);
            },
            handler);
    }

    void run(const std::vector<InferenceTransactionManager::Image>& images = {}, std::stop_token stop = {}) {
        manager->run("prompt", 4096, 0.7f, 0.9f, 42, images, stop);
    }
};

// The penalty the real syntax verifier gives a block.
inline std::string penaltyFor(const std::string& code, const std::string& language) {
    UniversalASTVerifier verifier;
    return verifier.validateCodeBlock(code, language).penaltyString.value_or("(valid)");
}

} // namespace test
} // namespace vivirov
