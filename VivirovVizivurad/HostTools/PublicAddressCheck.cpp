#include "VivirovVizivurad/HostTools/PublicAddressCheck.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

#include "VivirovKit/Support/Text.h"

namespace vivirov {

namespace {

std::atomic<int> loopbackTestPort{0};

struct ParsedURL {
    bool ok = false;
    std::string scheme, host;
    int port = 0;
};

ParsedURL parse(const std::string& url) {
    ParsedURL parsed;
    CURLU* u = curl_url();
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char *scheme = nullptr, *host = nullptr, *port = nullptr;
        if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            parsed.ok = true;
            parsed.scheme = text::lowercased(scheme);
            parsed.host = host;
            parsed.port = std::atoi(port);
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(u);
    return parsed;
}

bool isNonPublicIPv4(uint32_t a) { // host byte order
    const uint32_t first = a >> 24, second = (a >> 16) & 0xff;
    return first == 0 || first == 10 || first == 127 || first >= 224 || (first == 100 && second >= 64 && second < 128) ||
           (first == 169 && second == 254) || (first == 172 && second >= 16 && second <= 31) ||
           (first == 192 && second == 168) || (first == 198 && (second == 18 || second == 19));
}

bool isNonPublicIPv6(const in6_addr& a) {
    const uint8_t* b = a.s6_addr;
    static const uint8_t zero[16] = {};
    if (std::memcmp(b, zero, 15) == 0 && (b[15] == 0 || b[15] == 1)) return true; // :: and ::1
    const bool mapped = std::memcmp(b, zero, 10) == 0 && b[10] == 0xff && b[11] == 0xff;
    const bool compatible = std::memcmp(b, zero, 12) == 0;
    const bool nat64 = b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b && std::memcmp(b + 4, zero, 8) == 0;
    if (mapped || compatible || nat64)
        return isNonPublicIPv4(uint32_t(b[12]) << 24 | uint32_t(b[13]) << 16 | uint32_t(b[14]) << 8 | b[15]);
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true; // link-local
    if ((b[0] & 0xfe) == 0xfc) return true;                 // unique local
    if (b[0] == 0xff) return true;                          // multicast
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return true; // site-local (deprecated)
    return false;
}

bool isLocalName(std::string host) {
    host = text::lowercased(host);
    while (!host.empty() && host.back() == '.') host.pop_back();
    return host.empty() || host == "localhost" || text::endsWith(host, ".localhost") || text::endsWith(host, ".local") ||
           text::endsWith(host, ".internal");
}

} // namespace

bool PublicAddressCheck::isNonPublicAddress(const std::string& numeric) {
    in_addr v4{};
    if (inet_pton(AF_INET, numeric.c_str(), &v4) == 1) return isNonPublicIPv4(ntohl(v4.s_addr));
    in6_addr v6{};
    if (inet_pton(AF_INET6, numeric.c_str(), &v6) == 1) return isNonPublicIPv6(v6);
    return true;
}

void PublicAddressCheck::allowLoopbackPortForTesting(int port) { loopbackTestPort = port; }

bool PublicAddressCheck::isAllowedForTesting(const std::string& url) {
    const int port = loopbackTestPort.load();
    if (port == 0) return false;
    ParsedURL parsed = parse(url);
    return parsed.ok && (parsed.scheme == "http" || parsed.scheme == "https") && parsed.host == "127.0.0.1" &&
           parsed.port == port;
}

PublicAddressCheck PublicAddressCheck::check(const std::string& url) {
    PublicAddressCheck result;
    ParsedURL parsed = parse(url);
    result.host = parsed.host;
    if (!parsed.ok || (parsed.scheme != "http" && parsed.scheme != "https") || isLocalName(parsed.host)) {
        result.refused = true;
        return result;
    }
    std::string host = parsed.host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const bool testAllowance = isAllowedForTesting(url);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        result.error = "could not resolve host '" + host + "': " + gai_strerror(rc);
        return result;
    }
    std::string first;
    bool blocked = false;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        char numeric[INET6_ADDRSTRLEN] = {};
        if (ai->ai_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr, numeric, sizeof numeric);
        else if (ai->ai_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(ai->ai_addr)->sin6_addr, numeric, sizeof numeric);
        else
            continue;
        const std::string address = numeric;
        if (isNonPublicAddress(address) && !(testAllowance && address == "127.0.0.1")) blocked = true;
        if (first.empty()) first = address;
    }
    freeaddrinfo(found);
    if (blocked || first.empty()) {
        result.refused = true;
        return result;
    }
    const bool v6 = first.find(':') != std::string::npos;
    result.pinnedAddresses.push_back(parsed.host + ":" + std::to_string(parsed.port) + ":" +
                                     (v6 ? "[" + first + "]" : first));
    result.allowed = true;
    return result;
}

} // namespace vivirov
