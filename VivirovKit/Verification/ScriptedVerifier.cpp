#include "VivirovKit/Verification/ScriptedVerifier.h"

#include <utility>

namespace vivirov {

ScriptedVerifier::ScriptedVerifier(std::vector<bool> verdicts, std::string penalty)
    : verdicts_(std::move(verdicts)), penalty_(std::move(penalty)) {}

ValidationResult ScriptedVerifier::validateCodeBlock(const std::string&, const std::string&) {
    int64_t i;
    {
        std::lock_guard lock(mutex_);
        i = index_++;
    }
    bool verdict = true;
    if (!verdicts_.empty()) {
        verdict = i < static_cast<int64_t>(verdicts_.size()) ? verdicts_[static_cast<size_t>(i)]
                                                             : verdicts_.back();
    }
    if (verdict) return ValidationResult{true, std::nullopt};
    return ValidationResult{false, penalty_};
}

int64_t ScriptedVerifier::callCount() const {
    std::lock_guard lock(mutex_);
    return index_;
}

} // namespace vivirov
