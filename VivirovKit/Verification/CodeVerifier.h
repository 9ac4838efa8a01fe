#pragma once
#include <optional>
#include <string>

namespace vivirov {

// The verdict on one generated code block.
struct ValidationResult {
    bool isValid = true;
    // The note for the model when the block is invalid; none when valid (or
    // when the caller should use its own default note).
    std::optional<std::string> penaltyString;

    bool operator==(const ValidationResult&) const = default;
};

// Checks one fenced code block. Blocking; may be called from any thread and
// never fails: whatever cannot be checked is valid.
class CodeVerifier {
public:
    virtual ~CodeVerifier() = default;
    // `code` is the block without its fence lines; `languageIdentifier` is the
    // tag as written after the opening fence, in any case.
    virtual ValidationResult validateCodeBlock(const std::string& code,
                                               const std::string& languageIdentifier) = 0;
};

} // namespace vivirov
