#include "VivirovKit/Agentic/InferenceTransactionManager.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/ToolCallEnvelope.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

constexpr std::string_view fence = "```";
constexpr std::string_view envelopeTag = "<tool_call>";
constexpr size_t heldCharacters = 12;
const std::string defaultPenalty = "\n// ERROR: invalid syntax, regenerate.\n";

std::string trimmedOfBlanks(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

} // namespace

// ---- Tool-call envelopes -----------------------------------------------------

std::optional<InferenceTransactionManager::ToolInvocation>
InferenceTransactionManager::detectToolCall(std::string_view in) {
    GraphemeText text(in);
    auto envelope = ToolCallEnvelope::find(text);
    if (!envelope) return std::nullopt;
    return ToolInvocation{
        std::string(in.substr(0, envelope->tagStart)),
        std::string(in.substr(envelope->innerStart, envelope->innerEnd - envelope->innerStart)),
        std::string(in.substr(envelope->suffixStart)),
    };
}

// ---- Transactions ------------------------------------------------------------

InferenceTransactionManager::InferenceTransactionManager(std::shared_ptr<SessionBridging> bridge,
                                                         std::shared_ptr<CodeVerifier> verifier, int64_t maxRetries,
                                                         OnText onText, OnState onState, ToolHandler toolHandler)
    : bridge_(std::move(bridge)),
      verifier_(std::move(verifier)),
      maxRetries_(std::max<int64_t>(0, maxRetries)),
      onText_(std::move(onText)),
      onState_(std::move(onState)),
      toolHandler_(std::move(toolHandler)) {}

InferenceTransactionManager::TransactionState InferenceTransactionManager::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void InferenceTransactionManager::cancel() { cancelled_ = true; }

bool InferenceTransactionManager::stopRequested(const std::stop_token& stop) const {
    return cancelled_ || stop.stop_requested();
}

void InferenceTransactionManager::run(const std::string& prompt, int32_t nCtx, float temperature, float topP,
                                      uint32_t seed, const std::vector<Image>& images, std::stop_token stop) {
    std::lock_guard runLock(runMutex_);
    resetBlock();
    generationOver_ = false;

    if (!bridge_ || !bridge_->beginSession(prompt, nCtx, temperature, topP, seed)) {
        emit("[engine error: session begin failed]");
        return;
    }
    try {
        for (const Image& image : images) bridge_->injectImage(image.rgb, image.width, image.height);
        setState(TransactionState::decodingProse());

        while (!stopRequested(stop)) {
            SessionBridging::Decoded next = bridge_->decodeNext();
            if (next.finished) break;
            // No yield between pieces: cancel() and state() never wait for
            // the run, so nothing is starved by a tight loop here.
            ingest(next.piece);
        }

        // Blocks that closed within a piece after another block wait in the
        // prose for the next piece; with none to come, they are judged now,
        // so that no complete block reaches the reader unexamined.
        generationOver_ = true;
        while (state().kind == TransactionState::Kind::decodingProse) {
            auto open = detectOpenFence(prose_);
            if (!open) break;
            openTransaction(std::move(*open));
        }

        if (state().kind == TransactionState::Kind::transactionOpen) {
            forceCommit(codeBuffer_, "");
        } else {
            flushProse(true);
        }
        bridge_->releaseSnapshot();
        bridge_->endSession();
        setState(TransactionState::idle());
    } catch (...) {
        // Leave the session closed and the manager ready for another run.
        try {
            bridge_->releaseSnapshot();
            bridge_->endSession();
        } catch (...) {
        }
        resetBlock();
        {
            std::lock_guard lock(stateMutex_);
            state_ = TransactionState::idle();
        }
        throw;
    }
}

void InferenceTransactionManager::resetBlock() {
    prose_.clear();
    codeBuffer_.clear();
    fenceType_.clear();
    snapshotId_ = -1;
    retryCount_ = 0;
}

void InferenceTransactionManager::setState(TransactionState next) {
    {
        std::lock_guard lock(stateMutex_);
        state_ = next;
    }
    if (onState_) onState_(next);
}

void InferenceTransactionManager::emit(const std::string& text) {
    if (onText_) onText_(text);
}

void InferenceTransactionManager::ingest(const std::string& piece) {
    switch (state().kind) {
    case TransactionState::Kind::transactionOpen: {
        codeBuffer_ += piece;
        size_t close = codeBuffer_.find(fence);
        if (close != std::string::npos)
            resolve(codeBuffer_.substr(0, close), codeBuffer_.substr(close + fence.size()));
        return;
    }
    case TransactionState::Kind::idle:
    case TransactionState::Kind::decodingProse:
        prose_ += piece;
        if (!handleCallOrFence()) flushProse(false);
        return;
    default:
        return; // mid-step states take no text
    }
}

// Only the first envelope or fence line is handled; whatever follows it is
// examined when the next piece arrives.
bool InferenceTransactionManager::handleCallOrFence() {
    // The envelope detector needs the opening tag; looking for it first keeps
    // plain prose cheap.
    if (toolHandler_ && prose_.find(envelopeTag) != std::string::npos) {
        if (auto call = detectToolCall(prose_)) {
            if (!call->prefix.empty()) emit(call->prefix);
            prose_ = std::move(call->suffix);
            runTool(call->inner);
            return true;
        }
    }
    if (auto open = detectOpenFence(prose_)) {
        openTransaction(std::move(*open));
        return true;
    }
    return false;
}

void InferenceTransactionManager::openTransaction(OpenFence open) {
    if (!open.prefix.empty()) emit(open.prefix);
    fenceType_ = std::move(open.language);
    prose_.clear();
    codeBuffer_ = std::move(open.rest);
    snapshotId_ = bridge_->takeSnapshot();
    retryCount_ = 0;
    setState(TransactionState::transactionOpen(snapshotId_, fenceType_));
    size_t close = codeBuffer_.find(fence);
    if (close != std::string::npos) resolve(codeBuffer_.substr(0, close), codeBuffer_.substr(close + fence.size()));
}

void InferenceTransactionManager::runTool(const std::string& json) {
    setState(TransactionState::executingTool(extractToolName(json)));
    std::string result;
    try {
        result = toolHandler_(json);
    } catch (const std::exception& error) {
        result = std::string("error: ") + error.what();
    } catch (...) {
        result = "error: the tool failed";
    }
    bridge_->injectText("\n<tool_result>\n" + result + "\n</tool_result>\n");
    setState(TransactionState::decodingProse());
}

void InferenceTransactionManager::resolve(std::string body, std::string afterClose) {
    setState(TransactionState::validating(fenceType_));
    ValidationResult verdict = verifier_ ? verifier_->validateCodeBlock(body, fenceType_) : ValidationResult{};
    if (verdict.isValid) {
        emit(std::string(fence) + fenceType_ + "\n" + body + std::string(fence));
        endTransaction(std::move(afterClose));
        return;
    }
    // Once the session has stopped generating, nothing could rewrite the block.
    if (retryCount_ < maxRetries_ && !generationOver_) {
        ++retryCount_;
        setState(TransactionState::rollingBack(retryCount_));
        bridge_->rollback(snapshotId_);
        bridge_->injectText(verdict.penaltyString.value_or(defaultPenalty));
        codeBuffer_.clear();
        setState(TransactionState::penaltyInjected(retryCount_));
        // The rejected text after the closing fence goes with the attempt.
        setState(TransactionState::transactionOpen(snapshotId_, fenceType_));
        return;
    }
    forceCommit(body, std::move(afterClose));
}

void InferenceTransactionManager::forceCommit(const std::string& body, std::string afterClose) {
    std::string text = std::string(fence) + fenceType_ + "\n" + body;
    if (!text::endsWith(body, "\n")) text += "\n";
    text += "[SYSTEM: Code validation failed after " + std::to_string(maxRetries_ + 1) + " attempts]\n";
    text += fence;
    emit(text);
    endTransaction(std::move(afterClose));
}

void InferenceTransactionManager::endTransaction(std::string afterClose) {
    bridge_->releaseSnapshot();
    snapshotId_ = -1;
    codeBuffer_.clear();
    prose_ = std::move(afterClose);
    setState(TransactionState::decodingProse());
}

void InferenceTransactionManager::flushProse(bool all) {
    if (all) {
        if (!prose_.empty()) emit(std::exchange(prose_, {}));
    } else if (prose_.find(envelopeTag) != std::string::npos) {
        // The envelope may still complete.
    } else if (size_t at = prose_.find(fence); at != std::string::npos) {
        if (at > 0) emit(prose_.substr(0, at));
        prose_.erase(0, at);
    } else {
        GraphemeText chars(prose_);
        if (chars.size() > heldCharacters) {
            size_t cut = chars.byteStart(chars.size() - heldCharacters);
            emit(prose_.substr(0, cut));
            prose_.erase(0, cut);
        }
    }
    setState(TransactionState::decodingProse());
}

std::string InferenceTransactionManager::extractToolName(std::string_view jsonText) {
    auto parsed = json::parse(text::trimmed(jsonText));
    if (!parsed || !parsed->is_object()) return "tool";
    auto tool = json::stringMember(*parsed, "tool");
    if (!tool) return "tool";
    if (*tool == "execute_bash") return "Bash";
    if (*tool == "read_file") return "Read File";
    if (*tool == "write_file") return "Write File";
    return *tool;
}

std::optional<InferenceTransactionManager::OpenFence> InferenceTransactionManager::detectOpenFence(std::string_view text) {
    size_t at = text.find(fence);
    if (at == std::string_view::npos) return std::nullopt;
    size_t lineEnd = text.find('\n', at + fence.size());
    if (lineEnd == std::string_view::npos) return std::nullopt;
    return OpenFence{std::string(text.substr(0, at)),
                     trimmedOfBlanks(text.substr(at + fence.size(), lineEnd - at - fence.size())),
                     std::string(text.substr(lineEnd + 1))};
}

} // namespace vivirov
