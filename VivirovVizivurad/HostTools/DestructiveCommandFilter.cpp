#include "VivirovVizivurad/HostTools/DestructiveCommandFilter.h"

#include <array>
#include <string_view>

#include "VivirovKit/Support/Regex.h"
#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

struct SubstringRule {
    std::array<std::string_view, 6> patterns; // empty entries unused
    std::string_view reason;
};

// Tested in order on the normalised (single-blank, lower-case) text.
constexpr std::array<SubstringRule, 4> substringRules{{
    {{"rm -rf /", "rm -rf /*", "rm -rf ~", "rm -rf $home", "rm -rf ~/*", "rm -rf $home/*"},
     "recursive delete of root or home directory (rm -rf / or ~)"},
    {{"mkfs", "of=/dev/"}, "filesystem format or raw-device write (mkfs / dd of=/dev)"},
    {{":(){", ":|:&"}, "fork bomb"},
    {{"chmod -r 000 /", "chmod -r 000 ~", "chmod -r 000 $home"}, "remove all permissions on root or home (chmod -R 000)"},
}};

constexpr std::string_view protectedVolumeReason = "write to a protected system volume (/System, /usr, /bin)";

const Regex& whitespaceRuns() {
    static const Regex re("\\s+");
    return re;
}

const Regex& protectedRedirect() {
    static const Regex re(">\\s*/System/|>\\s*/usr/|>\\s*/bin/", Regex::CaseInsensitive);
    return re;
}

} // namespace

std::optional<std::string> DestructiveCommandFilter::isBlocked(const std::string& command) {
    const std::string normalised = text::lowercased(whitespaceRuns().replaceAll(command, " "));
    for (const auto& rule : substringRules)
        for (std::string_view pattern : rule.patterns)
            if (!pattern.empty() && normalised.find(pattern) != std::string::npos) return std::string(rule.reason);
    if (protectedRedirect().search(normalised)) return std::string(protectedVolumeReason);

    // A pattern hidden behind "sudo " is found once the prefix is removed.
    if (normalised.find("sudo ") == std::string::npos) return std::nullopt;
    std::string stripped;
    for (size_t at = 0;;) {
        size_t next = normalised.find("sudo ", at);
        stripped.append(normalised, at, next == std::string::npos ? std::string::npos : next - at);
        if (next == std::string::npos) break;
        at = next + 5;
    }
    if (auto reason = isBlocked(stripped)) return "sudo " + *reason;
    return std::nullopt;
}

} // namespace vivirov
