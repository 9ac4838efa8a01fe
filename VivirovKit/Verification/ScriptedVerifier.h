#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "VivirovKit/Verification/CodeVerifier.h"

namespace vivirov {

// Answers a fixed sequence of verdicts, in call order, for scripted runs; the
// last verdict repeats, and an empty script always answers valid.
class ScriptedVerifier final : public CodeVerifier {
public:
    ScriptedVerifier(std::vector<bool> verdicts, std::string penalty);

    ValidationResult validateCodeBlock(const std::string& code,
                                       const std::string& languageIdentifier) override;

    int64_t callCount() const;

private:
    const std::vector<bool> verdicts_;
    const std::string penalty_;
    mutable std::mutex mutex_;
    int64_t index_ = 0;
};

} // namespace vivirov
