// Curl sessions and the download-size query against loopback servers.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "logic/downloader/download_size.h"
#include "net/curl_easy.h"
#include "net/curl_multi.h"
#include "support/test_environment.h"
#include "support/test_server.h"
#include "utils/settings.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;
using Curl::CurlEasy;
using Curl::CurlMulti;
using Curl::RequestTimeout;

class CurlSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearProxyEnvironment();
        FixTimeZone();
        Settings::Unset(Settings::ID::AssumeContentLengthUnavailable);
    }
    void TearDown() override { Settings::Unset(Settings::ID::AssumeContentLengthUnavailable); }
};

size_t Collect(char* data, size_t size, size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// The text and the type of what Perform throws, "" when it returns.
std::pair<std::string, bool> PerformFailure(CurlEasy& session)
{
    try {
        session.Perform();
        return {"", false};
    } catch (const RequestTimeout& timeout) {
        return {timeout.what(), true};
    } catch (const std::runtime_error& error) {
        return {error.what(), false};
    }
}

TEST_F(CurlSessionTest, PerformFailuresNameTheCallAndLibcurlsText)
{
    struct Case {
        const char* name;
        std::function<void(TestServer&)> script;
        std::string text;
        bool timeout;
    };
    const std::vector<Case> cases = {
        {"404", [](TestServer& s) { s.Expect("GET", "/x", Reply::Status(404)); },
         "curl_easy_perform failed: http response code = 404", false},
        {"503", [](TestServer& s) { s.Expect("GET", "/x", Reply::Status(503, "later")); },
         "curl_easy_perform failed: http response code = 503", false},
        {"stall", [](TestServer& s) { s.Expect("GET", "/x", Reply::Stall(100, "x")); },
         "curl_easy_perform failed: Timeout was reached", true},
        {"no server", [](TestServer& s) { s.Stop(); },
         std::string("curl_easy_perform failed: ") + curl_easy_strerror(CURLE_COULDNT_CONNECT),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        c.script(server);
        std::string body;
        CurlEasy session(server.Url("/x"));
        session.Set(CURLOPT_WRITEFUNCTION, &Collect)
            .Set(CURLOPT_WRITEDATA, &body)
            .Set(CURLOPT_LOW_SPEED_TIME, 1L)
            .Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        const auto [text, timeout] = PerformFailure(session);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(timeout, c.timeout);
    }
}

TEST_F(CurlSessionTest, PerformSendsHeadersAndReadsTheLength)
{
    TestServer server;
    server.Expect("GET", "/page", Reply::Body("hello"), Times::Exactly(1));
    std::string body;
    CurlEasy session(server.Url("/page?lang=fr"));
    session.Set(CURLOPT_WRITEFUNCTION, &Collect).Set(CURLOPT_WRITEDATA, &body);
    session.SetHeader("X-First: 1").SetHeader("X-Second: 2");
    session.Perform();
    EXPECT_EQ(body, "hello");
    EXPECT_EQ(session.GetContentLength(), 5);

    const RecordedRequest request = server.Requests().at(0);
    EXPECT_EQ(request.query, "lang=fr");
    EXPECT_EQ(request.Header("X-First"), "1");
    EXPECT_EQ(request.Header("X-Second"), "2");
    EXPECT_NE(request.Header("Accept-Encoding").find("gzip"), std::string::npos)
        << "every encoding libcurl decodes is offered";
}

TEST_F(CurlSessionTest, SetFailureAndIdentity)
{
    CurlEasy first("http://127.0.0.1:9/");
    CurlEasy second("http://127.0.0.1:9/");
    EXPECT_TRUE(first == first);
    EXPECT_FALSE(first == second);
    try {
        first.Set(CURLOPT_HTTP_VERSION, 1000L);
        FAIL() << "an unsupported value must throw";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  std::string("curl_easy_setopt failed: ") +
                      curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL));
    }
}

TEST_F(CurlSessionTest, DownloadSize)
{
    struct Case {
        const char* name;
        std::function<void(TestServer&)> script;
        std::uint64_t size;
    };
    const std::vector<Case> cases = {
        {"length", [](TestServer& s) { s.Expect("HEAD", "/f", Reply::Body(std::string(4321, 'x')), Times::Exactly(1)); }, 4321},
        {"no length", [](TestServer& s) { s.Expect("HEAD", "/f", Reply::Chunked("abc"), Times::Exactly(1)); }, 0},
        {"404", [](TestServer& s) { s.Expect("HEAD", "/f", Reply::Status(404), Times::Exactly(1)); }, 0},
        {"redirect", [](TestServer& s) {
             s.Expect("HEAD", "/f", Reply::Redirect("/g"), Times::Exactly(1));
             s.Expect("HEAD", "/g", Reply::Body(std::string(77, 'g')), Times::Exactly(1));
         }, 77},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        c.script(server);
        EXPECT_EQ(GetDownloadSize(server.Url("/f")), c.size);
    }
}

TEST_F(CurlSessionTest, DownloadSizeHonoursAssumeContentLengthUnavailable)
{
    struct Case {
        const char* name;
        std::any value;
        bool asks;
    };
    const std::vector<Case> cases = {
        {"text", std::string("1"), false},
        {"bare flag", true, false},
        {"empty text", std::string(), true},
        {"absent", std::any(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.value.has_value()) {
            Settings::Set(Settings::ID::AssumeContentLengthUnavailable, c.value);
        } else {
            Settings::Unset(Settings::ID::AssumeContentLengthUnavailable);
        }
        TestServer server;
        if (c.asks) {
            server.Expect("HEAD", "/f", Reply::Body("12345"), Times::Exactly(1));
        }
        EXPECT_EQ(GetDownloadSize(server.Url("/f")), c.asks ? 5u : 0u);
    }
}

// Drives `multi` until GetCompletedSessions returns something or throws.
std::string DriveToCompletion(CurlMulti& multi, const CurlEasy& expected)
{
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        multi.Perform();
        try {
            const auto completed = multi.GetCompletedSessions();
            if (!completed.empty()) {
                return completed.size() == 1 && completed.front().get() == expected
                           ? "completed"
                           : "wrong sessions";
            }
        } catch (const std::runtime_error& failure) {
            return failure.what();
        }
        multi.Poll(250ms);
    }
    return "no completion";
}

TEST_F(CurlSessionTest, MultiReportsCompletedSessionsAndFailures)
{
    TestServer server;
    server.Expect("GET", "/ok", Reply::Body("ok"), Times::Exactly(1));
    server.Expect("GET", "/error", Reply::Status(500), Times::Exactly(1));
    CurlMulti multi;

    std::string body;
    CurlEasy ok(server.Url("/ok"));
    ok.Set(CURLOPT_WRITEFUNCTION, &Collect).Set(CURLOPT_WRITEDATA, &body);
    multi.AddSession(ok);
    EXPECT_EQ(DriveToCompletion(multi, ok), "completed");
    EXPECT_EQ(body, "ok");
    multi.RemoveSession(ok);

    CurlEasy error(server.Url("/error"));
    error.Set(CURLOPT_WRITEFUNCTION, &Collect).Set(CURLOPT_WRITEDATA, &body);
    multi.AddSession(error);
    EXPECT_EQ(DriveToCompletion(multi, error), "curl_multi_perform failed: http response code = 500");
    multi.RemoveSession(error);
}

TEST_F(CurlSessionTest, WakeUpEndsAPendingPoll)
{
    TestServer server;
    server.Expect("GET", "/stall", Reply::Stall(10));
    CurlEasy session(server.Url("/stall"));
    CurlMulti multi;
    multi.AddSession(session);
    for (int round = 0; round < 200 && !server.WaitForRequests("/stall", 1, 0ms); ++round) {
        multi.Perform();
        multi.Poll(50ms);
    }
    ASSERT_TRUE(server.WaitForRequests("/stall", 1, 0ms));
    multi.Perform();
    // Nothing more arrives and libcurl has no timer due soon: only WakeUp can
    // end this wait before the test's own time limit.
    std::thread poller([&] { multi.Poll(std::chrono::hours(1)); });
    std::this_thread::sleep_for(50ms);
    multi.WakeUp();
    poller.join();
    multi.RemoveSession(session);
}

} // namespace
} // namespace Zentak::Test
