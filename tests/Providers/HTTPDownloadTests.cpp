#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <stop_token>
#include <thread>

#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TempDir.h"

using namespace vivirov;
using namespace std::chrono_literals;
using test::HttpTestServer;
using test::ScriptedResponse;

namespace {

struct Sink {
    test::TempDir dir;
    std::string path = dir.file("sink");
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ~Sink() { ::close(fd); }
    std::string content() const { return test::TempDir::read(path); }
};

HTTPRequest get(const std::string& url, int maxRedirects = 5) {
    HTTPRequest r;
    r.url = url;
    r.maxRedirects = maxRedirects;
    return r;
}

ScriptedResponse redirectTo(const std::string& location) {
    return ScriptedResponse::text(302, "moved").header("Location", location);
}

} // namespace

TEST(HTTPDownload, WritesTheBodyToTheFileAndReportsLengthAndProgress) {
    HttpTestServer server;
    std::string body(200000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 31 + 7);
    server.enqueue(ScriptedResponse::text(200, body, "application/octet-stream").splitEvery(50000, 1ms));
    HTTPSession session;
    Sink sink;
    int64_t lastReceived = -1, lastExpected = 0;
    auto result = session.download(get(server.baseURL() + "/f"), {}, sink.fd, [&](int64_t r, int64_t e) {
        EXPECT_GE(r, lastReceived);
        lastReceived = r;
        lastExpected = e;
    });
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.expectedBytes, int64_t(body.size()));
    EXPECT_EQ(result.receivedBytes, int64_t(body.size()));
    EXPECT_EQ(lastReceived, int64_t(body.size()));
    EXPECT_EQ(lastExpected, int64_t(body.size()));
    EXPECT_EQ(sink.content(), body);
}

TEST(HTTPDownload, AnErrorStatusWritesNothing) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::text(404, "<html>not found</html>", "text/html"));
    HTTPSession session;
    Sink sink;
    auto result = session.download(get(server.baseURL() + "/f"), {}, sink.fd, {});
    EXPECT_EQ(result.status, 404);
    EXPECT_EQ(result.receivedBytes, 0);
    EXPECT_EQ(sink.content(), "");
}

TEST(HTTPDownload, NoAnnouncedLengthGivesMinusOne) {
    HttpTestServer server;
    auto response = ScriptedResponse::text(200, "GGUFbody");
    response.framing = ScriptedResponse::Framing::chunked;
    server.enqueue(response);
    HTTPSession session;
    Sink sink;
    auto result = session.download(get(server.baseURL() + "/f"), {}, sink.fd, {});
    EXPECT_EQ(result.expectedBytes, -1);
    EXPECT_EQ(sink.content(), "GGUFbody");
}

TEST(HTTPDownload, FollowsRedirectsButKeepsTheTokenToTheFirstHost) {
    HttpTestServer hub, cdn;
    hub.enqueue(redirectTo(hub.baseURL() + "/second"));
    // "localhost" names another host than "127.0.0.1", as a CDN would.
    hub.enqueue(redirectTo("http://localhost:" + std::to_string(cdn.port()) + "/blob"));
    cdn.enqueue(ScriptedResponse::text(200, "payload"));
    HTTPSession session;
    Sink sink;
    auto request = get(hub.baseURL() + "/first");
    request.headers = {{"Authorization", "Bearer secret"}};
    auto result = session.download(request, {}, sink.fd, {});
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(sink.content(), "payload");
    ASSERT_EQ(hub.requestCount(), 2u);
    EXPECT_EQ(hub.requests()[1].header("authorization"), "Bearer secret");
    ASSERT_EQ(cdn.requestCount(), 1u);
    EXPECT_FALSE(cdn.lastRequest().header("authorization").has_value());
}

TEST(HTTPDownload, RedirectsAreBoundedAndLimitedToHttp) {
    HttpTestServer server;
    server.setHandler([&](const test::RecordedRequest&) { return redirectTo(server.baseURL() + "/again"); });
    HTTPSession session;
    Sink sink;
    EXPECT_THROW(session.download(get(server.baseURL() + "/loop", 3), {}, sink.fd, {}), TransportError);
    EXPECT_EQ(server.requestCount(), 4u);

    HttpTestServer other;
    other.enqueue(redirectTo("file:///etc/passwd"));
    EXPECT_THROW(session.download(get(other.baseURL() + "/f"), {}, sink.fd, {}), TransportError);
    EXPECT_EQ(sink.content(), "");
}

TEST(HTTPDownload, WithoutRedirectsAThreeHundredIsTheAnswer) {
    HttpTestServer server;
    server.enqueue(redirectTo(server.baseURL() + "/elsewhere"));
    HTTPSession session;
    Sink sink;
    EXPECT_EQ(session.download(get(server.baseURL() + "/f", 0), {}, sink.fd, {}).status, 302);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(HTTPDownload, AFailingWriteEndsTheTransferWithItsError) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::text(200, std::string(4096, 'x')));
    HTTPSession session;
    int readOnly = ::open("/dev/null", O_RDONLY);
    try {
        session.download(get(server.baseURL() + "/f"), {}, readOnly, {});
        ADD_FAILURE() << "a write into a read-only descriptor succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EBADF);
    }
    ::close(readOnly);
}

TEST(HTTPDownload, CancellationStopsAStalledTransfer) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::text(200, std::string(100000, 'x')).stallAfter(1000));
    HTTPSession session;
    Sink sink;
    std::stop_source stop;
    std::thread canceller([&] {
        server.waitForRequests(1);
        std::this_thread::sleep_for(50ms);
        stop.request_stop();
    });
    EXPECT_THROW(session.download(get(server.baseURL() + "/f"), stop.get_token(), sink.fd, {}), CancellationError);
    canceller.join();
}
