#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace vivirov {

// An ICU regular expression over UTF-8 text (ICU syntax: (?is), \b, \s,
// Unicode \d, lazy quantifiers). Offsets in results are UTF-8 byte offsets.
// A compiled Regex is immutable and may be used from many threads at once.
class Regex {
public:
    enum Flags : uint32_t { None = 0, CaseInsensitive = 1, DotAll = 2, Multiline = 4 };

    struct Group {
        size_t begin = 0, end = 0;
        std::string text;
    };
    struct Match {
        size_t begin = 0, end = 0;
        // Index 0 is the whole match; a group that did not take part is none.
        std::vector<std::optional<Group>> groups;
        std::string group(size_t i) const { return i < groups.size() && groups[i] ? groups[i]->text : std::string(); }
    };

    explicit Regex(std::string_view pattern, uint32_t flags = None);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    bool isValid() const { return pattern_ != nullptr; }
    const std::string& error() const { return error_; }

    std::optional<Match> firstMatch(std::string_view text, size_t fromByte = 0) const;
    std::vector<Match> allMatches(std::string_view text) const;
    bool search(std::string_view text) const { return firstMatch(text).has_value(); }
    // Replaces every match; `replacement` uses ICU's $1 group syntax.
    std::string replaceAll(std::string_view text, std::string_view replacement) const;

private:
    std::unique_ptr<icu::RegexPattern> pattern_;
    std::string error_;
};

} // namespace vivirov
