// The loopback test servers seen from a plain HTTP client: these tests also
// show how the library is meant to be used.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "support/test_environment.h"
#include "support/test_proxy.h"
#include "support/test_server.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;

httplib::Client ClientFor(const TestServer& server)
{
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(5, 0);
    client.set_decompress(false);
    return client;
}

TEST(TestServer, ScriptedRepliesAsSeenOnTheWire)
{
    const std::string body = "0123456789abcdef";
    struct Case {
        const char* path;
        Reply reply;
        int status;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers; // expected, "" = absent
    };
    std::vector<Case> cases;
    cases.push_back({"/body", Reply::Body(body), 200, body, {{"Content-Length", "16"}}});
    cases.push_back({"/chunked", Reply::Chunked(body, 5), 200, body,
                     {{"Content-Length", ""}, {"Transfer-Encoding", "chunked"}}});
    cases.push_back({"/status", Reply::Status(503, "busy"), 503, "busy", {}});
    cases.push_back({"/moved", Reply::Redirect("/body", 301), 301, "", {{"Location", "/body"}}});
    cases.push_back({"/drip", Reply::Drip(body, 4, 5ms), 200, body, {{"Content-Length", "16"}}});
    cases.push_back({"/typed", std::move(Reply::Body("{}").WithContentType("application/json"))
                                   .WithHeader("X-Test", "yes"),
                     200, "{}", {{"Content-Type", "application/json"}, {"X-Test", "yes"}}});

    TestServer server;
    for (Case& c : cases) {
        server.Expect("GET", c.path, std::move(c.reply), Times::Exactly(1));
    }
    httplib::Client client = ClientFor(server);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto response = client.Get(c.path);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, c.status);
        EXPECT_EQ(response->body, c.body);
        for (const auto& [name, value] : c.headers) {
            EXPECT_EQ(response->get_header_value(name), value) << name;
        }
    }
}

TEST(TestServer, GzipReplyIsCompressedOnTheWire)
{
    const std::string text(10000, 'z');
    TestServer server;
    server.Expect("GET", "/packed", Reply::Gzip(text), Times::Exactly(2));
    httplib::Client raw = ClientFor(server);
    const auto compressed = raw.Get("/packed");
    ASSERT_TRUE(compressed);
    EXPECT_EQ(compressed->get_header_value("Content-Encoding"), "gzip");
    EXPECT_LT(compressed->body.size(), text.size() / 10);

    httplib::Client decoding("127.0.0.1", server.Port());
    decoding.set_decompress(true);
    const auto decoded = decoding.Get("/packed");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->body, text);
}

TEST(TestServer, HeadGetsHeadersOnly)
{
    TestServer server;
    server.Expect("HEAD", "/file", Reply::Body(std::string(1234, 'x')), Times::Exactly(1));
    httplib::Client client = ClientFor(server);
    const auto response = client.Head("/file");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
    EXPECT_EQ(response->get_header_value("Content-Length"), "1234");
    EXPECT_TRUE(response->body.empty());
}

TEST(TestServer, RecordsEveryRequest)
{
    TestServer server;
    server.Expect("POST", "/collect", Reply::Status(204), Times::Exactly(1));
    httplib::Client client = ClientFor(server);
    const auto response =
        client.Post("/collect?a=1&b=two", {{"X-Custom", "value"}}, "<xml/>", "text/xml");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 204);

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/collect");
    EXPECT_EQ(requests[0].query, "a=1&b=two");
    EXPECT_EQ(requests[0].Header("x-custom"), "value");
    EXPECT_EQ(requests[0].Header("Content-Type"), "text/xml");
    EXPECT_EQ(requests[0].body, "<xml/>");
}

TEST(TestServer, ExpectationsForOnePathAreUsedInOrder)
{
    TestServer server;
    server.Expect("GET", "/flaky", Reply::Status(500), Times::Exactly(2));
    server.Expect("GET", "/flaky", Reply::Body("ok"));
    httplib::Client client = ClientFor(server);
    std::vector<int> statuses;
    for (int i = 0; i < 4; ++i) {
        const auto response = client.Get("/flaky");
        ASSERT_TRUE(response);
        statuses.push_back(response->status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{500, 500, 200, 200}));
}

TEST(TestServer, UnexpectedRequestFailsTheTest)
{
    struct Case {
        const char* method;
        const char* target;
    };
    for (const Case& c : {Case{"GET", "/unknown?q=1"}, Case{"DELETE", "/known"},
                          Case{"HEAD", "/known"}}) {
        SCOPED_TRACE(c.method);
        TestServer server;
        server.Expect("GET", "/known", Reply::Body("x"), Times::Any());
        httplib::Client client = ClientFor(server);
        const auto response = client.send([&] {
            httplib::Request request;
            request.method = c.method;
            request.path = c.target;
            return request;
        }());
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 404);
        EXPECT_NONFATAL_FAILURE(server.Stop(), std::string("Unexpected request to the test server: ") +
                                                   c.method + " " + c.target);
    }
}

TEST(TestServer, ExpectedRequestThatNeverCameFailsTheTest)
{
    TestServer server;
    server.Expect("GET", "/twice", Reply::Body("x"), Times::Exactly(2));
    httplib::Client client = ClientFor(server);
    ASSERT_TRUE(client.Get("/twice"));
    EXPECT_NONFATAL_FAILURE(server.Stop(), "GET /twice: expected 2, got 1");
}

TEST(TestServer, StallHoldsTheBodyUntilTheServerStops)
{
    TestServer server;
    server.Expect("GET", "/stall", Reply::Stall(1000, "head"));
    httplib::Client client = ClientFor(server);
    client.set_read_timeout(0, 300000);
    std::string received;
    const auto response = client.Get("/stall", [&](const char* data, size_t length) {
        received.append(data, length);
        return true;
    });
    EXPECT_FALSE(response) << "a stalled body must not complete";
    EXPECT_EQ(received, "head");
    server.Stop(); // returns although the reply is still stalled
}

TEST(TestServer, HangSendsNothingUntilTheServerStops)
{
    TestServer server;
    server.Expect("HEAD", "/hang", Reply::Hang());
    httplib::Client client = ClientFor(server);
    client.set_read_timeout(0, 300000);
    EXPECT_FALSE(client.Head("/hang"));
}

TEST(TestServer, ResetCutsTheConnectionMidBody)
{
    TestServer server;
    server.Expect("GET", "/reset", Reply::Reset(std::string(100000, 'r'), 1000));
    httplib::Client client = ClientFor(server);
    std::string received;
    const auto response = client.Get("/reset", [&](const char* data, size_t length) {
        received.append(data, length);
        return true;
    });
    EXPECT_FALSE(response);
    EXPECT_LE(received.size(), 1000u);
}

TEST(TestServer, WaitForRequestsSeesArrivalsFromOtherThreads)
{
    TestServer server;
    server.Expect("GET", "/slow", Reply::Drip("abc", 1, 20ms));
    EXPECT_FALSE(server.WaitForRequests("/slow", 1, 10ms));
    std::thread fetcher([&] { ClientFor(server).Get("/slow"); });
    EXPECT_TRUE(server.WaitForRequests("/slow", 1, 5s));
    fetcher.join();
}

TEST(TestServer, HttpsWithAuthorityMadeAtTestTime)
{
    TestServer server(TestServer::Scheme::Https);
    server.Expect("GET", "/secure", Reply::Body("secret"), Times::Exactly(1));
    ASSERT_FALSE(server.CaFile().empty());
    EXPECT_EQ(server.Url("/secure").rfind("https://127.0.0.1:", 0), 0u);

    httplib::SSLClient untrusting("127.0.0.1", server.Port());
    untrusting.enable_server_certificate_verification(true);
    untrusting.set_ca_cert_path("/nonexistent-ca.pem");
    EXPECT_FALSE(untrusting.Get("/secure")) << "verification must fail without the authority";

    httplib::SSLClient trusting("127.0.0.1", server.Port());
    trusting.enable_server_certificate_verification(true);
    trusting.set_ca_cert_path(server.CaFile().c_str());
    const auto response = trusting.Get("/secure");
    ASSERT_TRUE(response) << httplib::to_string(response.error());
    EXPECT_EQ(response->body, "secret");
}

TEST(TestProxy, ForwardsAbsoluteUriRequestsAndRecordsThem)
{
    TestServer server;
    server.Expect("GET", "/via", Reply::Body("through the proxy"), Times::Exactly(1));
    TestProxy proxy;
    httplib::Client client("127.0.0.1", server.Port());
    client.set_proxy("127.0.0.1", proxy.Port());
    const auto response = client.Get("/via?x=1");
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, "through the proxy");
    EXPECT_EQ(proxy.RequestedUrls(), std::vector<std::string>{server.Url("/via?x=1")});
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].query, "x=1");
}

TEST(TestEnvironment, ScopedEnvironmentRestoresThePreviousState)
{
    unsetenv("ZENTAK_TEST_VARIABLE");
    {
        ScopedEnvironment set("ZENTAK_TEST_VARIABLE", "one");
        EXPECT_STREQ(getenv("ZENTAK_TEST_VARIABLE"), "one");
        {
            ScopedEnvironment removed("ZENTAK_TEST_VARIABLE", std::nullopt);
            EXPECT_EQ(getenv("ZENTAK_TEST_VARIABLE"), nullptr);
        }
        EXPECT_STREQ(getenv("ZENTAK_TEST_VARIABLE"), "one");
    }
    EXPECT_EQ(getenv("ZENTAK_TEST_VARIABLE"), nullptr);
}

} // namespace
} // namespace Zentak::Test
