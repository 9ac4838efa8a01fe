#pragma once
#include <string>

namespace vivirov {

// Where a run's visible answer goes: streamed text and tool-call starts and
// results. Calls come one at a time, in order, from the run's threads; an
// implementation that touches the UI hops to the GUI thread itself.
class AgenticUISink {
public:
    virtual ~AgenticUISink() = default;
    virtual void surfaceText(const std::string& text) = 0;
    virtual void surfaceToolStart(const std::string& label) = 0;
    virtual void surfaceToolResult(const std::string& displayName, const std::string& result) = 0;
};

} // namespace vivirov
