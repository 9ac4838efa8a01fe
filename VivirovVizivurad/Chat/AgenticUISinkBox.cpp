#include "VivirovVizivurad/Chat/AgenticUISinkBox.h"

namespace vivirov {

AgenticUISinkBox::AgenticUISinkBox(OnText onText, OnToolStart onToolStart, OnToolResult onToolResult)
    : onText_(std::move(onText)), onToolStart_(std::move(onToolStart)), onToolResult_(std::move(onToolResult)) {}

void AgenticUISinkBox::surfaceText(const std::string& text) { onText_(text); }
void AgenticUISinkBox::surfaceToolStart(const std::string& name) { onToolStart_(name); }
void AgenticUISinkBox::surfaceToolResult(const std::string& name, const std::string& result) {
    onToolResult_(name, result);
}

} // namespace vivirov
