#pragma once
// Helpers shared by every HTTP provider client: the text of an HTTP error
// body, compact JSON request bodies, and the one rule by which a tool call's
// JSON arguments become the flat text map every ProviderToolCall carries.
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Json.h"

namespace vivirov {

class HTTPSession;
struct HTTPRequest;

namespace LLMProviderSupport {

// The one HTTP session of the chat clients (created on first use, lives until
// the process ends; safe to use from many threads at once).
HTTPSession& session();

// At most this many bytes of an error body are read.
constexpr size_t kErrorBodyLimit = 4097;

// Sends a chat request through session(). A 2xx body is split into lines (at
// LF, CR or CR LF, decoded as UTF-8) handed to `onLine` as they arrive, until
// it returns false or the body ends. Any other status reads at most
// kErrorBodyLimit bytes of the body and throws LLMProviderError::http with
// errorMessage() of them. Transport failures and cancellation pass through.
void streamLines(const HTTPRequest& request, std::stop_token cancel,
                 const std::function<bool(std::string_view line)>& onLine);

// Streams the answer of a chat request through a protocol decoder (anything
// with consumeLine(line) -> bool and finish() -> ProviderResponse).
template <class Decoder>
ProviderResponse decodeStream(const HTTPRequest& request, std::stop_token cancel, Decoder& decoder) {
    streamLines(request, cancel, [&](std::string_view line) { return decoder.consumeLine(line); });
    return decoder.finish();
}

// The payload of a server-sent-event data line: the text after "data:" with
// blanks and tabs trimmed at both ends; none for any other line.
std::optional<std::string_view> dataPayload(std::string_view line);

// A short message for an HTTP error body: error.message, else message, else a
// string error (each whole); else the first 300 characters of the object's
// JSON text or, for anything that is not a JSON object, of the body decoded
// as UTF-8. Never fails.
std::string errorMessage(std::string_view body);

// Compact UTF-8 JSON text; none when the value cannot be written as JSON (a
// number that is not finite). Invalid UTF-8 inside strings is written as
// U+FFFD, as text that reached us in bytes is still text to send.
std::optional<std::string> jsonBody(const json::Value& value);

// True for 400-428 and 431-499: client errors that will not go away by
// trying again (429 and 430 are rate limits).
bool isTerminalHTTP(int status);

// Argument flattening: JSON object text to a flat map. Strings keep their
// text, whole numbers become decimal text, booleans "1"/"0", null "<null>",
// anything else its compact JSON text. Empty, invalid or non-object text
// gives an empty map.
std::map<std::string, std::string> parseArgsJSON(std::string_view text);
// The same rule applied to an already parsed value (empty unless an object).
std::map<std::string, std::string> flattenArguments(const json::Value& object);
// The text form of one argument value under that rule.
std::string flattenedValue(const json::Value& value);

} // namespace LLMProviderSupport
} // namespace vivirov
