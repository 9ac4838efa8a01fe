#include "VivirovKit/Support/Json.h"

namespace vivirov::json {

std::optional<Value> parse(std::string_view text) {
    Value value = Value::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::string dump(const Value& value) {
    return value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

namespace {
const Value* member(const Value& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}
} // namespace

std::optional<std::string> stringMember(const Value& object, const char* key) {
    const Value* v = member(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<int64_t> integerMember(const Value& object, const char* key) {
    const Value* v = member(object, key);
    if (!v) return std::nullopt;
    if (v->is_number_integer()) return v->get<int64_t>();
    if (v->is_number_unsigned()) {
        auto u = v->get<uint64_t>();
        if (u > uint64_t(INT64_MAX)) return std::nullopt;
        return int64_t(u);
    }
    return std::nullopt;
}

std::optional<double> numberMember(const Value& object, const char* key) {
    const Value* v = member(object, key);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

std::optional<bool> boolMember(const Value& object, const char* key) {
    const Value* v = member(object, key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

const Value* objectMember(const Value& object, const char* key) {
    const Value* v = member(object, key);
    return v && v->is_object() ? v : nullptr;
}

const Value* arrayMember(const Value& object, const char* key) {
    const Value* v = member(object, key);
    return v && v->is_array() ? v : nullptr;
}

} // namespace vivirov::json
