#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <tree_sitter/api.h>

#include "VivirovKit/Verification/CodeVerifier.h"

namespace vivirov {

// Syntax check of generated C, JavaScript and Python blocks with tree-sitter.
// A block that parses without error or missing nodes is valid; otherwise the
// first such node (depth first) is named in a penalty text for the model.
// Anything that cannot be checked (unknown language, no parser, a refused
// grammar, a block too large to parse safely) is valid: the verifier never
// blocks a block for its own failure.
// One parser is reused under a lock, so concurrent calls run one at a time.
class UniversalASTVerifier final : public CodeVerifier {
public:
    UniversalASTVerifier();
    ~UniversalASTVerifier() override;
    UniversalASTVerifier(const UniversalASTVerifier&) = delete;
    UniversalASTVerifier& operator=(const UniversalASTVerifier&) = delete;

    ValidationResult validateCodeBlock(const std::string& code,
                                       const std::string& languageIdentifier) override;

    // Larger blocks are accepted unchecked (see validateLocked).
    static constexpr size_t kMaxCheckedBytes = 65'534;

private:
    // The grammar an identifier selects (compared after lower-casing), or null.
    static const TSLanguage* language(const std::string& identifier);

    struct ErrorHit {
        uint32_t startByte = 0;
        uint32_t endByte = 0;
        bool isMissing = false;
    };

    ValidationResult validateLocked(const std::string& code, const std::string& languageIdentifier);
    static std::optional<ErrorHit> firstErrorNode(TSNode node);
    static std::string penalty(const std::string& code, const ErrorHit& hit,
                               const std::string& language);

    std::mutex lock_;
    TSParser* parser_ = nullptr;
};

} // namespace vivirov
