#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// JSON helpers that never throw on bad input.
namespace vivirov::json {

using Value = nlohmann::json;

// Parses text; none when it is not valid JSON (invalid UTF-8 included).
std::optional<Value> parse(std::string_view text);
// Compact serialisation; invalid UTF-8 in strings is replaced, never thrown.
std::string dump(const Value& value);

// Member access that answers none for a missing member or another type.
std::optional<std::string> stringMember(const Value& object, const char* key);
std::optional<int64_t> integerMember(const Value& object, const char* key);
std::optional<double> numberMember(const Value& object, const char* key);
std::optional<bool> boolMember(const Value& object, const char* key);
const Value* objectMember(const Value& object, const char* key);
const Value* arrayMember(const Value& object, const char* key);

} // namespace vivirov::json
