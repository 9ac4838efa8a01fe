#include <gtest/gtest.h>

#include <netdb.h>
#include <unistd.h>

#include "VivirovVizivurad/HostTools/PublicAddressCheck.h"
#include "VivirovVizivurad/HostTools/PublicWebTools.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/StderrCapture.h"

namespace vivirov {
namespace {

using test::HttpTestServer;
using test::ScriptedResponse;

const std::string arrow = "\xE2\x86\x92";

// Lets the fetch reach this one loopback server for the test's lifetime.
struct AllowedServer {
    HttpTestServer server;
    AllowedServer() { PublicAddressCheck::allowLoopbackPortForTesting(server.port()); }
    ~AllowedServer() { PublicAddressCheck::allowLoopbackPortForTesting(0); }
    std::string url(const std::string& path) const { return server.baseURL() + path; }
};

TEST(WebFetch, RefusesNonPublicHostsAndBadURLs) {
    PublicWebTools tools;
    const std::string refused = "error: web_fetch refused host '";
    struct Case {
        std::string url, expectedPrefix;
    };
    const std::vector<Case> cases = {
        {"", "error: web_fetch needs a valid http(s) URL (got: )"},
        {"  http://a b/  ", "error: web_fetch needs a valid http(s) URL (got: http://a b/)"},
        {"file:///etc/passwd", refused + "?'"},
        {"example", refused + "?'"},
        {"ftp://example.com/x", refused + "example.com'"},
        {"http://127.0.0.1/", refused + "127.0.0.1'"},
        {"http://127.1/", refused},
        {"http://0x7f.0.0.1/", refused},
        {"http://0177.0.0.1/", refused},
        {"http://2130706433/", refused},
        {"http://localhost./", refused},
        {"http://LOCALHOST/", refused},
        {"http://[::1]/", refused},
        {"http://[::ffff:127.0.0.1]/", refused},
        {"http://[::ffff:7f00:1]/", refused},
        {"http://[fe80::1]/", refused},
        {"http://169.254.169.254/latest/meta-data", refused + "169.254.169.254'"},
        {"http://10.1.2.3/", refused},
        {"http://0.0.0.0/", refused},
    };
    for (const auto& c : cases) {
        std::string result = tools.webFetch(c.url, {});
        EXPECT_EQ(result.rfind(c.expectedPrefix, 0), 0u) << c.url << " gave " << result;
    }
    EXPECT_EQ(tools.webFetch("http://10.0.0.1/", {}),
              "error: web_fetch refused host '10.0.0.1' \xE2\x80\x94 only public http(s) hosts are allowed (loopback / "
              "LAN / link-local / metadata are blocked).");
}

TEST(WebFetch, LoopbackServerIsRefusedWithoutTheTestAllowance) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::text(200, "secret"));
    PublicWebTools tools;
    EXPECT_EQ(tools.webFetch(server.baseURL() + "/", {}).rfind("error: web_fetch refused host '127.0.0.1'", 0), 0u);
    // The allowance covers only its own port.
    PublicAddressCheck::allowLoopbackPortForTesting(server.port() == 65535 ? 1 : server.port() + 1);
    EXPECT_NE(tools.webFetch(server.baseURL() + "/", {}).find("refused host"), std::string::npos);
    PublicAddressCheck::allowLoopbackPortForTesting(0);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(WebFetch, NameResolvingToAPrivateAddressIsRefused) {
    // Any name this machine resolves to a loopback or private address.
    std::string name;
    char hostname[256] = {};
    gethostname(hostname, sizeof hostname - 1);
    for (std::string candidate : {std::string("vm"), std::string("runsc"), std::string(hostname)}) {
        addrinfo* found = nullptr;
        if (candidate.empty() || getaddrinfo(candidate.c_str(), nullptr, nullptr, &found) != 0) continue;
        char numeric[NI_MAXHOST] = {};
        getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST);
        freeaddrinfo(found);
        if (PublicAddressCheck::isNonPublicAddress(numeric) && candidate.find('.') == std::string::npos) {
            name = candidate;
            break;
        }
    }
    if (name.empty()) GTEST_SKIP() << "no name resolves to a private address here";
    PublicWebTools tools;
    EXPECT_EQ(tools.webFetch("http://" + name + "/", {}).rfind("error: web_fetch refused host '" + name + "'", 0), 0u);
}

TEST(WebFetch, AddressClassification) {
    for (const char* address : {"127.0.0.1", "10.0.0.5", "172.16.0.1", "192.168.1.1", "169.254.169.254", "0.0.0.0",
                                "100.64.0.1", "224.0.0.1", "::1", "::", "fe80::1", "fd00::1", "::ffff:10.0.0.1",
                                "::ffff:127.0.0.1", "64:ff9b::a00:1", "not-an-address"})
        EXPECT_TRUE(PublicAddressCheck::isNonPublicAddress(address)) << address;
    for (const char* address : {"93.184.216.34", "8.8.8.8", "172.32.0.1", "2606:4700::1111", "::ffff:8.8.8.8"})
        EXPECT_FALSE(PublicAddressCheck::isNonPublicAddress(address)) << address;
}

TEST(WebFetch, LargePageGivesHeaderAndCappedText) {
    AllowedServer fixture;
    std::string html = "<html><head><title>t</title></head><body>";
    while (html.size() < 100 * 1024) html += "<p>word &amp; word</p>";
    html += "</body></html>";
    fixture.server.enqueue(ScriptedResponse::text(200, html, "text/html"));
    PublicWebTools tools;
    test::StderrCapture capture;
    std::string result = tools.webFetch("  " + fixture.url("/big") + "\n", {});
    const std::string header = "web_fetch " + fixture.url("/big") + " " + arrow + " HTTP 200, ";
    ASSERT_EQ(result.rfind(header, 0), 0u) << result.substr(0, 200);
    const size_t count = std::stoul(result.substr(header.size()));
    EXPECT_GT(count, 6000u);
    EXPECT_NE(result.find(" chars of readable text:\n\nword & word\n"), std::string::npos);
    EXPECT_LT(result.size(), 6500u);
    EXPECT_EQ(fixture.server.lastRequest().header("user-agent"),
              "Mozilla/5.0 (Macintosh; Intel Mac OS X) VivirovVizivurad/1.0");
    EXPECT_NE(capture.text().find("[vivirov] web_fetch OK: HTTP 200, " + std::to_string(count) + " chars\n"),
              std::string::npos);
}

TEST(WebFetch, AnnouncedOversizeIsRefusedUnread) {
    AllowedServer fixture;
    // Headers announce 9,000,000 bytes, then the server goes silent: reading
    // any of the body would hang until the idle time-out.
    fixture.server.enqueue(ScriptedResponse::text(200, std::string(9'000'000, 'a')).stallAfter(0));
    PublicWebTools tools;
    EXPECT_EQ(tools.webFetch(fixture.url("/huge"), {}),
              "web_fetch " + fixture.url("/huge") + " " + arrow +
                  " HTTP 200: response too large (9000000 bytes; cap 8 MB).");
}

TEST(WebFetch, UnannouncedOversizeIsCapped) {
    AllowedServer fixture;
    ScriptedResponse response = ScriptedResponse::text(200, std::string(9'000'000, 'a'));
    response.framing = ScriptedResponse::Framing::closeDelimited;
    fixture.server.enqueue(response);
    PublicWebTools tools;
    test::StderrCapture capture;
    std::string result = tools.webFetch(fixture.url("/stream"), {});
    EXPECT_EQ(result.rfind("web_fetch " + fixture.url("/stream") + " " + arrow +
                               " HTTP 200, 1500000 chars of readable text (download capped at 8 MB):\n\n",
                           0),
              0u)
        << result.substr(0, 200);
    EXPECT_NE(capture.text().find("[vivirov] web_fetch OK: HTTP 200, 1500000 chars (capped)\n"), std::string::npos);
}

TEST(WebFetch, DecodesDeclaredCharsetElseUTF8WithReplacement) {
    AllowedServer fixture;
    fixture.server.enqueue(ScriptedResponse::text(200, "caf\xE9", "text/plain; charset=ISO-8859-1"));
    fixture.server.enqueue(ScriptedResponse::text(200, "caf\xE9", "text/plain"));
    PublicWebTools tools;
    EXPECT_NE(tools.webFetch(fixture.url("/a"), {}).find(":\n\ncaf\xC3\xA9"), std::string::npos);
    EXPECT_NE(tools.webFetch(fixture.url("/b"), {}).find(":\n\ncaf\xEF\xBF\xBD"), std::string::npos);
}

TEST(WebFetch, RedirectsAreFollowedOnlyToPublicHosts) {
    AllowedServer fixture;
    PublicWebTools tools;
    // Allowed: the same (allowed) server; the requested URL stays in the text.
    fixture.server.enqueue(ScriptedResponse::text(301, "moving").header("Location", "/final"));
    fixture.server.enqueue(ScriptedResponse::text(200, "<p>arrived</p>", "text/html"));
    EXPECT_EQ(tools.webFetch(fixture.url("/start"), {}),
              "web_fetch " + fixture.url("/start") + " " + arrow + " HTTP 200, 7 chars of readable text:\n\narrived");
    EXPECT_EQ(fixture.server.lastRequest().path(), "/final");

    // Refused: the redirect response itself is the answer.
    for (std::string target : {"http://169.254.169.254/latest/meta-data", "http://localhost./x", "http://127.1/",
                               "file:///etc/passwd"}) {
        fixture.server.enqueue(ScriptedResponse::text(302, "<b>moved</b>", "text/html").header("Location", target));
        EXPECT_EQ(tools.webFetch(fixture.url("/r"), {}),
                  "web_fetch " + fixture.url("/r") + " " + arrow + " HTTP 302, 5 chars of readable text:\n\nmoved")
            << target;
    }
}

TEST(WebFetch, ConnectionFailureIsReported) {
    int port = 0;
    {
        HttpTestServer gone;
        port = gone.port();
    }
    PublicAddressCheck::allowLoopbackPortForTesting(port);
    PublicWebTools tools;
    EXPECT_EQ(tools.webFetch("http://127.0.0.1:" + std::to_string(port) + "/", {}).rfind("web_fetch error: ", 0), 0u);
    PublicAddressCheck::allowLoopbackPortForTesting(0);
}

} // namespace
} // namespace vivirov
