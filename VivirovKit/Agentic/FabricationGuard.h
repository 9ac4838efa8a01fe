#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vivirov {

// Flags catalogue figures in a finished answer (rupee prices, stock counts,
// SKU-style codes) that no tool result carried in the same text backs up.
// Writes nothing and changes nothing; safe from any thread.
class FabricationGuard {
public:
    struct Finding {
        std::string kind;  // "price", "stock" or "SKU"
        std::string value; // the match as written, trimmed of white space
        bool operator==(const Finding&) const = default;
    };

    // Prices in text order, then stock counts, then codes.
    static std::vector<Finding> scan(std::string_view message);

private:
    // (prose, backing): the message with each bare <tool_result> element
    // replaced by a space, and the elements' inner texts, each after a space.
    static std::pair<std::string, std::string> splitToolResults(std::string_view message);
    // Keeps only letters, combining marks and numbers.
    static std::string alnum(std::string_view text);
};

} // namespace vivirov
