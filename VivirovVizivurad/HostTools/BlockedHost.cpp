// The web fetch's host rule: only public http(s) hosts may be contacted.
#include "VivirovVizivurad/HostTools/ToolExecutionManager.h"

#include <array>
#include <cctype>
#include <charconv>
#include <vector>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

struct SchemeAndHost {
    std::string scheme;           // empty when the text has none
    std::optional<std::string> host;
};

// Splits "scheme://user@host:port/path" far enough to read the scheme and host.
SchemeAndHost splitURL(std::string_view url) {
    SchemeAndHost parts;
    size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return parts;
    for (size_t i = 1; i < colon; ++i) {
        char c = url[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return parts;
    }
    parts.scheme = std::string(url.substr(0, colon));
    std::string_view rest = url.substr(colon + 1);
    if (!text::startsWith(rest, "//")) return parts;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    if (text::startsWith(authority, "[")) {
        size_t close = authority.find(']');
        parts.host = std::string(authority.substr(0, close == std::string_view::npos ? close : close + 1));
    } else {
        parts.host = std::string(authority.substr(0, authority.find(':')));
    }
    return parts;
}

// A decimal integer with an optional sign, as a whole piece.
std::optional<long long> decimal(std::string_view piece) {
    if (!piece.empty() && piece[0] == '+') piece.remove_prefix(1);
    long long value = 0;
    auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (ec != std::errc() || end != piece.data() + piece.size() || piece.empty()) return std::nullopt;
    return value;
}

bool isPrivateIPv4(const std::string& host) {
    std::vector<std::string_view> pieces;
    std::string_view rest = host;
    while (!rest.empty()) {
        size_t dot = rest.find('.');
        if (dot != 0) pieces.push_back(rest.substr(0, dot));
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    if (pieces.size() != 4) return false;
    std::array<long long, 4> n{};
    for (size_t i = 0; i < 4; ++i) {
        auto v = decimal(pieces[i]);
        if (!v) return false;
        n[i] = *v;
    }
    if (n[0] < 0 || n[0] >= 256) return false;
    for (size_t i = 1; i < 4; ++i)
        if (n[i] < 0 || n[i] > 255) return false;
    const long long a = n[0], b = n[1];
    return a == 0 || a == 10 || a == 127 || (a == 169 && b == 254) || (a == 172 && b >= 16 && b <= 31) ||
           (a == 192 && b == 168);
}

} // namespace

bool ToolExecutionManager::isBlockedHost(const std::string& url) {
    SchemeAndHost parts = splitURL(url);
    const std::string scheme = text::lowercased(parts.scheme);
    if (scheme != "http" && scheme != "https") return true;
    if (!parts.host || parts.host->empty()) return true;
    std::string host = text::lowercased(*parts.host);
    size_t first = host.find_first_not_of("[]");
    size_t last = host.find_last_not_of("[]");
    host = first == std::string::npos ? std::string() : host.substr(first, last - first + 1);

    if (host == "localhost" || text::endsWith(host, ".local") || text::endsWith(host, ".localhost") ||
        text::endsWith(host, ".internal"))
        return true;
    if (host.find(':') != std::string::npos) {
        if (host == "::1" || text::startsWith(host, "fe80:") || text::startsWith(host, "fc") ||
            text::startsWith(host, "fd") || host.find("::ffff:127") != std::string::npos)
            return true;
    }
    return isPrivateIPv4(host);
}

} // namespace vivirov
