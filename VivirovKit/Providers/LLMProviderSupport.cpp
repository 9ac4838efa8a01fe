#include "VivirovKit/Providers/LLMProviderSupport.h"

#include <cmath>
#include <cstdint>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/LineSplitter.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov::LLMProviderSupport {

namespace {
constexpr size_t kErrorTextLimit = 300;

bool allNumbersFinite(const json::Value& value) {
    switch (value.type()) {
    case json::Value::value_t::number_float:
        return std::isfinite(value.get<double>());
    case json::Value::value_t::array:
    case json::Value::value_t::object:
        for (const auto& element : value)
            if (!allNumbersFinite(element)) return false;
        return true;
    default:
        return true;
    }
}
} // namespace

HTTPSession& session() {
    // Never destroyed: requests may still run on detached threads at exit.
    static HTTPSession* shared = new HTTPSession(HTTPSession::Configuration{});
    return *shared;
}

void streamLines(const HTTPRequest& request, std::stop_token cancel,
                 const std::function<bool(std::string_view line)>& onLine) {
    int status = 0;
    std::string errorBody;
    LineSplitter lines;
    bool stopped = false;
    session().perform(
        request, cancel, [&](int s) { status = s; return true; },
        [&](std::string_view bytes) {
            if (status < 200 || status > 299) {
                errorBody.append(bytes.substr(0, kErrorBodyLimit - errorBody.size()));
                return errorBody.size() < kErrorBodyLimit;
            }
            if (!lines.push(bytes, onLine)) stopped = true;
            return !stopped;
        });
    if (status < 200 || status > 299) throw LLMProviderError::http(status, errorMessage(errorBody));
    if (!stopped) lines.finish(onLine);
}

std::optional<std::string_view> dataPayload(std::string_view line) {
    if (line.substr(0, 5) != "data:") return std::nullopt;
    line.remove_prefix(5);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
}

std::string errorMessage(std::string_view body) {
    auto parsed = json::parse(body);
    if (parsed && parsed->is_object()) {
        if (const json::Value* error = json::objectMember(*parsed, "error"))
            if (auto message = json::stringMember(*error, "message")) return *message;
        if (auto message = json::stringMember(*parsed, "message")) return *message;
        if (auto error = json::stringMember(*parsed, "error")) return *error;
        return text::graphemePrefix(json::dump(*parsed), kErrorTextLimit);
    }
    return text::graphemePrefix(text::decodeUTF8Lossy(body), kErrorTextLimit);
}

std::optional<std::string> jsonBody(const json::Value& value) {
    if (!allNumbersFinite(value)) return std::nullopt;
    return json::dump(value);
}

bool isTerminalHTTP(int status) {
    return (status >= 400 && status <= 428) || (status >= 431 && status <= 499);
}

std::string flattenedValue(const json::Value& value) {
    switch (value.type()) {
    case json::Value::value_t::string:
        return value.get<std::string>();
    case json::Value::value_t::boolean:
        return value.get<bool>() ? "1" : "0";
    case json::Value::value_t::null:
        return "<null>";
    case json::Value::value_t::number_integer:
        return std::to_string(value.get<int64_t>());
    case json::Value::value_t::number_unsigned:
        return std::to_string(value.get<uint64_t>());
    case json::Value::value_t::number_float: {
        // A whole number written with a fraction or exponent (3.0, 1e2) is
        // still a whole number: give its plain decimal text.
        double d = value.get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15)
            return std::to_string(int64_t(d));
        return json::dump(value);
    }
    default:
        return json::dump(value);
    }
}

std::map<std::string, std::string> flattenArguments(const json::Value& object) {
    std::map<std::string, std::string> out;
    if (!object.is_object()) return out;
    for (auto it = object.begin(); it != object.end(); ++it) out[it.key()] = flattenedValue(it.value());
    return out;
}

std::map<std::string, std::string> parseArgsJSON(std::string_view text) {
    if (text.empty()) return {};
    auto parsed = json::parse(text);
    if (!parsed) return {};
    return flattenArguments(*parsed);
}

} // namespace vivirov::LLMProviderSupport
