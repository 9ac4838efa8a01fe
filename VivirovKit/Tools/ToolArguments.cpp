#include "VivirovKit/Tools/ToolArguments.h"

#include <cmath>
#include <cstdint>

namespace vivirov {

std::string flattenArgumentValue(const json::Value& value) {
    using T = json::Value::value_t;
    switch (value.type()) {
    case T::string: return value.get<std::string>();
    case T::boolean: return value.get<bool>() ? "1" : "0";
    case T::null: return "<null>";
    case T::number_integer: return std::to_string(value.get<int64_t>());
    case T::number_unsigned: return std::to_string(value.get<uint64_t>());
    case T::number_float: {
        // A model that writes 3.0 means the whole number 3.
        double d = value.get<double>();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e15)
            return std::to_string(int64_t(d));
        return value.dump();
    }
    default: return value.dump(2, ' ', false, json::Value::error_handler_t::replace);
    }
}

ToolArguments flattenArguments(const json::Value& object) {
    ToolArguments out;
    if (!object.is_object()) return out;
    for (auto it = object.begin(); it != object.end(); ++it)
        out[it.key()] = flattenArgumentValue(it.value());
    return out;
}

ToolArguments callArguments(const json::Value& callObject) {
    const json::Value* args = json::objectMember(callObject, "args");
    if (!args) args = json::objectMember(callObject, "arguments");
    return args ? flattenArguments(*args) : ToolArguments{};
}

ToolArguments flattenArgumentsJSON(std::string_view text) {
    auto value = json::parse(text);
    if (!value) return {};
    return flattenArguments(*value);
}

} // namespace vivirov
