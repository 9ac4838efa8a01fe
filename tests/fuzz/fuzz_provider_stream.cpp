// Any bytes a server might send, cut into reads at any points, must go
// through the line splitter and every protocol decoder without crashing,
// hanging or emitting invalid UTF-8; the reasoning-tag parser and the error
// and argument helpers must take whatever text they are handed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "VivirovKit/Providers/AnthropicStreamDecoder.h"
#include "VivirovKit/Providers/GeminiStreamDecoder.h"
#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Providers/LineSplitter.h"
#include "VivirovKit/Providers/OpenAIStreamDecoder.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Providers/ThinkStreamParser.h"
#include "VivirovKit/Support/Text.h"

using namespace vivirov;

namespace {

void checkText(const std::string& s) {
    if (!text::isValidUTF8(s)) __builtin_trap();
}

void checkDelta(const StreamDelta& d) {
    if (auto* t = std::get_if<StreamDelta::Text>(&d.value)) checkText(t->text);
    if (auto* r = std::get_if<StreamDelta::Reasoning>(&d.value)) checkText(r->text);
    if (auto* p = std::get_if<StreamDelta::ToolArgProgress>(&d.value)) checkText(p->partialArgs);
}

template <class Decoder>
void run(Decoder& decoder, std::string_view body, size_t readSize) {
    LineSplitter lines;
    auto onLine = [&](std::string_view line) {
        checkText(std::string(line));
        return decoder.consumeLine(line);
    };
    try {
        bool more = true;
        for (size_t at = 0; more && at < body.size(); at += readSize) more = lines.push(body.substr(at, readSize), onLine);
        if (more) lines.finish(onLine);
        ProviderResponse r = decoder.finish();
        checkText(r.content);
    } catch (const LLMProviderError&) {
        // an error event in the stream
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t readSize = 1 + data[0] % 64;
    std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);

    OpenAIStreamDecoder openAI("rizeru-local", checkDelta, true);
    run(openAI, body, readSize);
    AnthropicStreamDecoder anthropic(checkDelta);
    run(anthropic, body, readSize);
    GeminiStreamDecoder gemini(checkDelta);
    run(gemini, body, readSize);

    // Content text is always valid UTF-8 by the time it reaches the parser.
    std::string content = text::decodeUTF8Lossy(body);
    ThinkStreamParser parser(true);
    std::string joined;
    for (size_t at = 0; at < content.size();) {
        size_t end = std::min(content.size(), at + readSize);
        while (end < content.size() && (static_cast<unsigned char>(content[end]) & 0xC0) == 0x80) ++end;
        for (const auto& piece : parser.feed(std::string_view(content).substr(at, end - at), data[0] & 1))
            joined += piece.text;
        at = end;
    }
    for (const auto& piece : parser.flush()) joined += piece.text;
    if (joined.size() != parser.answer().size() + parser.reasoning().size()) __builtin_trap();

    checkText(LLMProviderSupport::errorMessage(body));
    for (const auto& [key, value] : LLMProviderSupport::parseArgsJSON(body)) checkText(value);
    return 0;
}
