#include "VivirovKit/Agentic/LooseToolCallParser.h"

#include <utility>

#include "VivirovKit/Agentic/BracketMatcher.h"
#include "VivirovKit/Agentic/GraphemeText.h"
#include "VivirovKit/Agentic/ShorthandToolCallParser.h"
#include "VivirovKit/Support/Json.h"
#include "VivirovKit/Tools/ToolArguments.h"

namespace vivirov {

namespace {

// Character ranges [first, last] of the balanced brace regions.
std::vector<std::pair<size_t, size_t>> braceRegions(const GraphemeText& text) {
    std::vector<std::pair<size_t, size_t>> regions;
    BracketMatcher braces(text, '{', '}');
    size_t k = 0;
    while (k < text.size()) {
        if (text.ascii(k) != '{') {
            ++k;
            continue;
        }
        size_t close = braces.closeOf(k);
        if (close == BracketMatcher::none) {
            ++k;
            continue;
        }
        regions.emplace_back(k, close);
        k = close + 1;
    }
    return regions;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        out.append(text, pos, hit - pos);
        out.append(to);
    }
    out.append(text, pos);
    text = std::move(out);
}

} // namespace

std::string LooseToolCallParser::withoutFences(std::string_view text) {
    std::string cleaned(text);
    replaceAll(cleaned, "```json", "\n");
    replaceAll(cleaned, "```", "\n");
    return cleaned;
}

std::vector<ProviderToolCall> LooseToolCallParser::parseLooseToolCalls(std::string_view text,
                                                                       const std::set<std::string>& knownTools) {
    std::string cleaned = withoutFences(text);
    GraphemeText characters(cleaned);

    std::vector<ProviderToolCall> calls;
    auto regions = braceRegions(characters);
    for (size_t i = 0; i < regions.size(); ++i) {
        auto [first, last] = regions[i];
        if (auto call = looseToolCall(characters.slice(first, last + 1), knownTools, "loose-" + std::to_string(i)))
            calls.push_back(std::move(*call));
    }
    if (!calls.empty()) return calls;

    ShorthandToolCallParser shorthand(characters);
    for (const auto& name : knownTools) { // std::set: ascending order
        if (auto call = shorthand.shorthandCall(name, "short-" + std::to_string(calls.size())))
            calls.push_back(std::move(*call));
    }
    return calls;
}

std::vector<std::string> LooseToolCallParser::balancedBraceRegions(std::string_view text) {
    GraphemeText characters(text);
    std::vector<std::string> out;
    for (auto [first, last] : braceRegions(characters)) out.emplace_back(characters.slice(first, last + 1));
    return out;
}

std::optional<ProviderToolCall> LooseToolCallParser::looseToolCall(std::string_view json,
                                                                   const std::set<std::string>& knownTools,
                                                                   std::string id) {
    auto object = json::parse(json);
    if (!object || !object->is_object()) return std::nullopt;
    auto name = json::stringMember(*object, "tool");
    if (!name || !knownTools.count(*name)) return std::nullopt;
    // A schema written out by the model describes a tool rather than calling it.
    if (object->contains("parameters") || object->contains("properties")) return std::nullopt;

    ProviderToolCall call;
    call.id = std::move(id);
    call.name = std::move(*name);
    call.arguments = callArguments(*object);
    return call;
}

} // namespace vivirov
