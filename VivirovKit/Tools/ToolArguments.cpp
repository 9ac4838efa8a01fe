#include "VivirovKit/Tools/ToolArguments.h"

#include "VivirovKit/Providers/LLMProviderSupport.h"

namespace vivirov {

// One flattening rule for every way a call arrives: the provider border's.
std::string flattenArgumentValue(const json::Value& value) { return LLMProviderSupport::flattenedValue(value); }

ToolArguments flattenArguments(const json::Value& object) { return LLMProviderSupport::flattenArguments(object); }

ToolArguments callArguments(const json::Value& callObject) {
    const json::Value* args = json::objectMember(callObject, "args");
    if (!args) args = json::objectMember(callObject, "arguments");
    return args ? flattenArguments(*args) : ToolArguments{};
}

ToolArguments flattenArgumentsJSON(std::string_view text) { return LLMProviderSupport::parseArgsJSON(text); }

} // namespace vivirov
