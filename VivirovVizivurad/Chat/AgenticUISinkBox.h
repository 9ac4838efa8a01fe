#pragma once
#include <functional>
#include <string>

#include "VivirovKit/Agentic/AgenticUISink.h"

namespace vivirov {

// Hands an agentic run's visible output to closures. The closures are
// called on the run's threads; whoever builds them hops to the GUI thread
// for what the GUI owns. A loop holds its sink weakly: the builder keeps the
// box alive for the whole run.
class AgenticUISinkBox final : public AgenticUISink {
public:
    using OnText = std::function<void(const std::string&)>;
    using OnToolStart = std::function<void(const std::string&)>;
    using OnToolResult = std::function<void(const std::string&, const std::string&)>;

    AgenticUISinkBox(OnText onText, OnToolStart onToolStart, OnToolResult onToolResult);

    void surfaceText(const std::string& text) override;
    void surfaceToolStart(const std::string& name) override;
    void surfaceToolResult(const std::string& name, const std::string& result) override;

private:
    const OnText onText_;
    const OnToolStart onToolStart_;
    const OnToolResult onToolResult_;
};

} // namespace vivirov
