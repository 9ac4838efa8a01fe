#include "VivirovKit/Agentic/FabricationGuard.h"

#include <cstring>
#include <unordered_set>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "VivirovKit/Support/Regex.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

struct Patterns {
    Regex price{R"((?:₹|Rs\.?\s?|INR\s?)\s?\d[\d,]*(?:\.\d+)?)", Regex::CaseInsensitive};
    Regex stock{R"(\b\d+\s*(?:units?|pieces?|pcs|in stock|left in stock|in inventory|available)\b)",
                Regex::CaseInsensitive};
    Regex sku{R"(\b[A-Z][A-Z0-9]{1,}(?:-[A-Z0-9]+)+\b)"};
    // Compiled once like the others: ICU takes milliseconds to build the
    // case-insensitive [\s\S] set, far more than a scan costs.
    Regex toolResult{R"(<tool_result>([\s\S]*?)</tool_result>)", Regex::CaseInsensitive};
    // Common hyphenated words and names that are never product codes.
    std::unordered_set<std::string> skuDenylist{
        "NO-CHEATING", "AI-POWERED", "UTF-8",     "UTF-16",     "RTX-3090",  "RTX-3090TI",
        "GPT-4",       "GPT-5",      "CO-OP",     "X-RAY",      "T-SHIRT",   "E-COMMERCE",
        "RE-RUN",      "WI-FI",      "HIGH-END",  "REAL-TIME",  "BUILT-IN",  "ADD-ON",
        "OPT-IN",      "ONE-OFF",    "READ-ONLY", "ON-DEVICE"};
};

const Patterns& patterns() {
    static const Patterns shared; // thread-safe one-time construction
    return shared;
}

// Keeps the code points whose general category is in `mask`.
std::string keepCategories(std::string_view text, uint32_t mask) {
    std::string out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c >= 0 && (U_GET_GC_MASK(c) & mask) != 0)
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
    return out;
}

std::string digitForm(std::string_view text) { return keepCategories(text, U_GC_ND_MASK); }

// glibc's memmem is several times faster than std::string::find on long,
// digit-heavy texts, where the first byte of a key matches almost everywhere.
bool contains(const std::string& haystack, const std::string& needle) {
    return memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

} // namespace

std::string FabricationGuard::alnum(std::string_view text) {
    return keepCategories(text, U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK);
}

std::pair<std::string, std::string> FabricationGuard::splitToolResults(std::string_view message) {
    std::string prose;
    std::string backing;
    size_t copied = 0;
    for (const Regex::Match& match : patterns().toolResult.allMatches(message)) {
        backing += ' ';
        backing += match.group(1);
        prose.append(message.substr(copied, match.begin - copied));
        prose += ' ';
        copied = match.end;
    }
    prose.append(message.substr(copied));
    return {std::move(prose), std::move(backing)};
}

std::vector<FabricationGuard::Finding> FabricationGuard::scan(std::string_view message) {
    const Patterns& p = patterns();
    const auto [prose, backing] = splitToolResults(message);
    const std::string backingKey = alnum(text::lowercased(backing));

    std::vector<Finding> findings;
    std::unordered_set<std::string> seen;
    const std::pair<const Regex*, const char*> checks[] = {
        {&p.price, "price"}, {&p.stock, "stock"}, {&p.sku, "SKU"}};
    for (const auto& [regex, kind] : checks) {
        const bool isCode = std::string_view(kind) == "SKU";
        for (const Regex::Match& match : regex->allMatches(prose)) {
            const std::string matched = match.group(0);
            if (isCode && p.skuDenylist.count(text::uppercased(matched)) != 0) continue;
            std::string value = text::trimmed(matched);
            const std::string key = isCode ? alnum(text::lowercased(value)) : digitForm(value);
            if (key.empty()) continue;
            std::string dedupKey = std::string(kind) + "|" + key;
            // A key already reported was unbacked then and is unbacked now:
            // skip the substring search of the whole backing text for it.
            if (seen.count(dedupKey) != 0) continue;
            if (contains(backingKey, key)) continue;
            seen.insert(std::move(dedupKey));
            findings.push_back(Finding{kind, std::move(value)});
        }
    }
    return findings;
}

} // namespace vivirov
