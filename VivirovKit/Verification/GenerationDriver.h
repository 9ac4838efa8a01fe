#pragma once
#include <optional>
#include <stop_token>
#include <string>

namespace vivirov {

// Makes one generation attempt towards a task's objective; the criterion
// judges its effects. Implemented by the app.
class GenerationDriver {
public:
    virtual ~GenerationDriver() = default;
    // `injectingFailure` is the compressed failure history of the earlier
    // attempts, none on the first. Blocks; never throws.
    virtual void attempt(const std::optional<std::string>& injectingFailure, std::stop_token token) = 0;
};

} // namespace vivirov
