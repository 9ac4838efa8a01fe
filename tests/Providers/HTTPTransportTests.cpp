#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "ProviderHarness.h"
#include "VivirovKit/Providers/HTTPSession.h"
#include "VivirovKit/Providers/LLMProviderSupport.h"
#include "VivirovKit/Providers/LineSplitter.h"
#include "VivirovKit/Providers/ProviderTypes.h"
#include "VivirovKit/Support/Cancellation.h"
#include "VivirovKit/Support/Clock.h"
#include "tests/support/HttpTestServer.h"

using namespace vivirov;
using namespace std::chrono_literals;
using test::HttpTestServer;
using test::ScriptedResponse;

namespace {

std::vector<std::string> splitAll(const std::vector<std::string>& reads) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    auto collect = [&](std::string_view line) { lines.emplace_back(line); return true; };
    for (const auto& r : reads) splitter.push(r, collect);
    splitter.finish(collect);
    return lines;
}

HTTPRequest post(const std::string& url, std::string body = "{}") {
    HTTPRequest r;
    r.method = "POST";
    r.url = url;
    r.headers = {{"Content-Type", "application/json"}};
    r.body = std::move(body);
    return r;
}

} // namespace

TEST(LineSplitter, LineEndsInEveryFormAndEverySplit) {
    struct Case { std::string body; std::vector<std::string> lines; };
    const Case cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},   // a blank line is a line
        {"a\r\rb", {"a", "", "b"}},       // two CRs are two line ends
        {"a\n\rb", {"a", "", "b"}},       // LF then CR: two line ends
        {"\n\nx", {"", "", "x"}},
        {"no end", {"no end"}},
        {"bad \xFF\n", {"bad \xEF\xBF\xBD"}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(splitAll({c.body}), c.lines);
        for (size_t cut = 0; cut <= c.body.size(); ++cut)
            ASSERT_EQ(splitAll({c.body.substr(0, cut), c.body.substr(cut)}), c.lines) << cut;
        std::vector<std::string> bytes;
        for (char ch : c.body) bytes.emplace_back(1, ch);
        EXPECT_EQ(splitAll(bytes), c.lines);
    }
}

TEST(LineSplitter, StopsAtOnceWhenAskedTo) {
    LineSplitter splitter;
    std::vector<std::string> seen;
    bool more = splitter.push("one\ntwo\nthree\n", [&](std::string_view l) {
        seen.emplace_back(l);
        return l != "two";
    });
    EXPECT_FALSE(more);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
}

TEST(HTTPTransport, LinesSurviveReadsThatSplitACarriageReturnAndLineFeed) {
    HttpTestServer server;
    const std::string body = "first\r\nsecond\r\n\r\nthird";
    // Cut between every CR and its LF, with a pause so they arrive in separate reads.
    server.enqueue(ScriptedResponse::sse(body).splitAt({6, 7, 14, 15, 16, 17}, 5ms));
    std::vector<std::string> lines;
    LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), {}, [&](std::string_view l) {
        lines.emplace_back(l);
        return true;
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "", "third"}));
    auto request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, "{}");
    EXPECT_FALSE(request.header("Expect"));
    EXPECT_TRUE(request.header("User-Agent"));
}

TEST(HTTPTransport, ErrorBodiesAreReadOnlyToTheLimit) {
    HttpTestServer server;
    // The server sends more than the limit and then stalls: a reader that
    // wanted the whole body would hang here.
    server.enqueue(ScriptedResponse::text(401, std::string(10000, 'e')).splitEvery(1000).stallAfter(6000));
    try {
        LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), {}, [](std::string_view) { return true; });
        FAIL() << "expected an http error";
    } catch (const LLMProviderError& e) {
        EXPECT_EQ(e.kind(), LLMProviderError::Kind::http);
        EXPECT_EQ(e.status(), 401);
        EXPECT_EQ(e.message(), std::string(300, 'e'));
    }
    server.enqueue(ScriptedResponse::json(500, R"({"error":{"message":"overloaded"}})"));
    EXPECT_THROW(
        {
            try {
                LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), {}, [](std::string_view) { return true; });
            } catch (const LLMProviderError& e) {
                EXPECT_STREQ(e.what(), "http 500: overloaded");
                throw;
            }
        },
        LLMProviderError);
}

TEST(HTTPTransport, SequentialRequestsReuseOneConnection) {
    HttpTestServer server;
    for (int i = 0; i < 10; ++i) server.enqueue(ScriptedResponse::sse("data: " + std::to_string(i) + "\n\n"));
    for (int i = 0; i < 10; ++i) {
        std::string got;
        LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), {}, [&](std::string_view l) {
            got += l;
            return true;
        });
        EXPECT_EQ(got, "data: " + std::to_string(i));
    }
    EXPECT_EQ(server.acceptedConnections(), 1);
}

TEST(HTTPTransport, CancellationFromAnotherThreadDropsTheConnection) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::sse("data: a\n\ndata: b\n\n").stallAfter(9));
    std::stop_source stop;
    std::vector<std::string> lines;
    auto call = std::async(std::launch::async, [&] {
        LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), stop.get_token(), [&](std::string_view l) {
            lines.emplace_back(l);
            return true;
        });
    });
    ASSERT_TRUE(server.waitForRequests(1));
    std::this_thread::sleep_for(20ms); // let the first event arrive
    stop.request_stop();
    ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(call.get(), CancellationError);
    EXPECT_TRUE(server.waitForClientCloses(1));
    EXPECT_EQ(lines, (std::vector<std::string>{"data: a", ""}));
}

TEST(HTTPTransport, IdleAndTotalTimeOutsFollowTheClock) {
    test::FakeClockScope fake;
    HttpTestServer server;
    server.enqueue(ScriptedResponse::neverAnswer());
    HTTPSession session;
    auto idle = std::async(std::launch::async, [&] {
        session.perform(post(server.baseURL() + "/x"), {}, nullptr, nullptr);
    });
    ASSERT_TRUE(server.waitForRequests(1));
    // The client notes the end of its upload as activity, possibly a moment
    // after the server has the request: let that happen before time moves.
    std::this_thread::sleep_for(300ms);
    fake.clock.advance(59'000'000'000ull); // the request's own 60 s is not over yet
    EXPECT_EQ(idle.wait_for(200ms), std::future_status::timeout);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) { // never hang the suite if the upload was noted late
        fake.clock.advance(2'000'000'000ull);
        ended = idle.wait_for(50ms) == std::future_status::ready;
    }
    ASSERT_TRUE(ended);
    try {
        idle.get();
        FAIL() << "expected a time-out";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), TransportError::Code::timedOut);
    }

    // With no idle limit of its own the whole transfer still ends at 600 s.
    server.enqueue(ScriptedResponse::neverAnswer());
    HTTPSession patient(HTTPSession::Configuration{1000.0, 600.0, 8});
    auto total = std::async(std::launch::async, [&] {
        HTTPRequest r = post(server.baseURL() + "/x");
        r.timeoutInterval = 0;
        patient.perform(r, {}, nullptr, nullptr);
    });
    ASSERT_TRUE(server.waitForRequests(2));
    fake.clock.advance(601'000'000'000ull);
    ASSERT_EQ(total.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(total.get(), TransportError);
}

TEST(HTTPTransport, FailuresOfTheTransportAreNotProviderErrors) {
    // A closed port on loopback is refused at once.
    int closedPort;
    {
        HttpTestServer gone;
        closedPort = gone.port();
    }
    try {
        LLMProviderSupport::streamLines(post("http://127.0.0.1:" + std::to_string(closedPort) + "/x"), {},
                                        [](std::string_view) { return true; });
        FAIL();
    } catch (const TransportError& e) {
        EXPECT_EQ(e.code(), TransportError::Code::cannotConnect);
    }

    // Only http and https: a file URL is never read.
    for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "", "not a url", "http://"})
        EXPECT_THROW(LLMProviderSupport::streamLines(post(url), {}, [](std::string_view) { return true; }),
                     TransportError)
            << url;

    // A body cut off mid-event fails after what arrived was delivered.
    HttpTestServer server;
    server.enqueue(ScriptedResponse::sse("data: one\n\ndata: tw").splitAt({11}, 5ms).closeAfter(18));
    std::vector<std::string> lines;
    EXPECT_THROW(LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), {}, [&](std::string_view l) {
                     lines.emplace_back(l);
                     return true;
                 }),
                 TransportError);
    EXPECT_EQ(lines, (std::vector<std::string>{"data: one", ""}));
}

TEST(HTTPTransport, RedirectsAreAnswersNotFollowed) {
    HttpTestServer server;
    server.enqueue(ScriptedResponse::text(302, "moved").header("Location", server.baseURL() + "/elsewhere"));
    EXPECT_THROW(LLMProviderSupport::streamLines(post(server.baseURL() + "/x"), {}, [](std::string_view) { return true; }),
                 LLMProviderError);
    EXPECT_EQ(server.requestCount(), 1u);
}
