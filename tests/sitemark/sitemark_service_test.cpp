#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "service_fixture.h"
#include "sitemark/sitemark.h"
#include "support/test_proxy.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;
using App::SitemarkBudget;

enum class Operation { NewId, Check, Link };

// Runs one operation of the library and gives its result as text: the id of
// a new-id request, "true" or "false" otherwise.
std::string RunOperation(Operation operation, SitemarkBudget& budget)
{
    switch (operation) {
    case Operation::NewId:
        return App::requestSitemark(budget);
    case Operation::Check:
        return App::isValidSitemark("id-1", budget) ? "true" : "false";
    case Operation::Link:
        return App::concatenateSitemarks("main-1", {"other-1"}, budget) ? "true" : "false";
    }
    return "?";
}

std::string PathOf(Operation operation)
{
    switch (operation) {
    case Operation::NewId:
        return "/generate";
    case Operation::Check:
        return "/used/id-1";
    case Operation::Link:
        return "/link/batch";
    }
    return "?";
}

std::string PerformFailed(CURLcode code)
{
    return std::string("cURL perform failed: ") + curl_easy_strerror(code);
}

std::string Json(const nlohmann::json& body)
{
    return body.dump();
}

TEST_F(SitemarkServiceTest, RepliesGiveTheValueOrTheDefaultAndReportWhy)
{
    const std::string tenMegabytes = R"({"id": ")" + std::string(10 * 1024 * 1024, 'a') + R"("})";
    struct Case {
        const char* name;
        Operation operation;
        std::function<Reply()> reply;
        std::string result;
        std::string reported; // the exception reported, empty for none
    };
    const std::vector<Case> cases = {
        {"new id", Operation::NewId, [] { return JsonReply({{"id", "4c7e-aa_01"}}); }, "4c7e-aa_01", ""},
        {"new id in pieces", Operation::NewId,
         [] { return PiecewiseReply(Json({{"id", "pieces-0123456789"}, {"note", "split"}}), 3); },
         "pieces-0123456789", ""},
        {"error reply", Operation::NewId,
         [] { return JsonReply({{"code", "E42"}, {"message", "busy"}, {"exception", "Overloaded"}}); }, "",
         "Error performing Sitemark API request, code: E42, message: busy, exception: Overloaded"},
        {"error reply, message only", Operation::NewId, [] { return JsonReply({{"message", "gone"}}); }, "",
         "Error performing Sitemark API request, message: gone"},
        {"error reply with a number", Operation::NewId,
         [] { return JsonReply({{"code", 503}, {"message", "busy"}}); }, "",
         "[json.exception.type_error.302] type must be string, but is number"},
        {"invalid json", Operation::NewId, [] { return Reply::Body(R"({"id": "abc")"); }, "", "parse_error"},
        {"two documents", Operation::NewId, [] { return Reply::Body(R"({"id": "a"}{"id": "b"})"); }, "",
         "parse_error"},
        {"http 500", Operation::NewId, [] { return JsonReply({{"id", "not-this-one"}}, 500); }, "",
         PerformFailed(CURLE_HTTP_RETURNED_ERROR)},
        {"10 MB announced", Operation::NewId, [&] { return Reply::Body(tenMegabytes); }, "",
         PerformFailed(CURLE_FILESIZE_EXCEEDED)},
        {"10 MB chunked", Operation::NewId, [&] { return Reply::Chunked(tenMegabytes, 16384); }, "",
         PerformFailed(CURLE_WRITE_ERROR)},
        {"reset in the middle", Operation::NewId, [] { return Reply::Reset(Json({{"id", "cut-short"}}), 5); },
         "", "cURL perform failed: "},
        {"exists", Operation::Check, [] { return JsonReply({{"exist", true}}); }, "true", ""},
        {"does not exist", Operation::Check, [] { return JsonReply({{"exist", false}}); }, "false", ""},
        {"exist as a string", Operation::Check, [] { return JsonReply({{"exist", "true"}}); }, "false",
         "Error performing Sitemark API request"},
        {"exist in pieces", Operation::Check, [] { return PiecewiseReply(Json({{"exist", true}}), 4); }, "true",
         ""},
        {"check fails", Operation::Check, [] { return Reply::Status(500); }, "false",
         PerformFailed(CURLE_HTTP_RETURNED_ERROR)},
        {"linked", Operation::Link, [] { return JsonReply({{"success", true}}); }, "true", ""},
        {"link refused", Operation::Link, [] { return JsonReply({{"success", false}}); }, "false", ""},
        {"link reply without the field", Operation::Link, [] { return JsonReply({{"code", "E1"}}); }, "false",
         "Error performing Sitemark API request, code: E1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t reportedBefore = ReportedExceptions().size();
        m_server.Expect("GET", kServiceRoot + PathOf(c.operation), c.reply(), Times::Exactly(1));
        SitemarkBudget budget = 5000ms;
        EXPECT_EQ(RunOperation(c.operation, budget), c.result);
        ASSERT_TRUE(budget.has_value());
        EXPECT_LE(*budget, 5000ms);

        const std::vector<std::string> reported = ReportedExceptions();
        if (c.reported.empty()) {
            EXPECT_EQ(reported.size(), reportedBefore);
        } else {
            ASSERT_EQ(reported.size(), reportedBefore + 1);
            EXPECT_NE(reported.back().find(c.reported), std::string::npos) << reported.back();
        }
    }
}

TEST_F(SitemarkServiceTest, RedirectIsFollowed)
{
    const std::string root = kServiceRoot;
    m_server.Expect("GET", root + "/generate", Reply::Redirect(root + "/generate-here"), Times::Exactly(1));
    m_server.Expect("GET", root + "/generate-here", JsonReply({{"id", "after-redirect"}}), Times::Exactly(1));
    EXPECT_EQ(App::requestSitemark(), "after-redirect");
}

// The service is reached over TLS: a redirect to plain HTTP (or to a local
// file) must not carry the request, even when something answers there.
TEST_F(SitemarkServiceTest, RedirectAwayFromHttpsIsRefused)
{
    TestServer plain;
    const std::string root = kServiceRoot;
    const std::string targets[] = {plain.Url(root + "/generate"), "file:///etc/hostname"};
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        m_server.Expect("GET", root + "/generate", Reply::Redirect(target), Times::Exactly(1));
        EXPECT_EQ(App::requestSitemark(), "");
        ASSERT_FALSE(ReportedExceptions().empty());
        EXPECT_EQ(ReportedExceptions().back(), PerformFailed(CURLE_UNSUPPORTED_PROTOCOL));
    }
    EXPECT_TRUE(plain.Requests().empty());
}

TEST_F(SitemarkServiceTest, BudgetOfZeroSkipsEveryRequest)
{
    SitemarkBudget budget = 0ms;
    EXPECT_EQ(App::requestSitemark(budget), "");
    EXPECT_FALSE(App::isValidSitemark("id-1", budget));
    EXPECT_FALSE(App::concatenateSitemarks("A", {"B"}, budget));
    // Nothing to link needs no request, so it succeeds even without time.
    EXPECT_TRUE(App::concatenateSitemarks("A", {"", "A", "UNDEFINED"}, budget));
    App::CurlContent content{App::CurlContent::NewId, std::string("kept"), {}};
    App::curlRequest(m_server.Url(std::string(kServiceRoot) + "/generate"), content, budget);
    EXPECT_EQ(std::get<std::string>(content.value), "kept");
    EXPECT_EQ(budget, SitemarkBudget(0ms));
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(SitemarkServiceTest, EmptyIdIsNeverValidAndCostsNoRequest)
{
    SitemarkBudget budget = 5000ms;
    EXPECT_FALSE(App::isValidSitemark("", budget));
    EXPECT_FALSE(App::isValidSitemark(""));
    EXPECT_EQ(budget, SitemarkBudget(5000ms));
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(SitemarkServiceTest, SpentBudgetEndsFurtherRequests)
{
    // The first request stalls until the budget is gone; the failed attempt
    // costs its time, so the next request is not even made.
    m_server.Expect("GET", std::string(kServiceRoot) + "/generate", Reply::Stall(100), Times::Exactly(1));
    SitemarkBudget budget = 1500ms;
    EXPECT_EQ(App::requestSitemark(budget), "");
    EXPECT_EQ(budget, SitemarkBudget(0ms));
    EXPECT_FALSE(App::isValidSitemark("id-1", budget));
    EXPECT_EQ(m_server.Requests().size(), 1u);
}

TEST_F(SitemarkServiceTest, LinkRequestNamesTheMainIdThenTheOthersInOrder)
{
    ExpectJson("/link/batch", {{"success", true}});
    SitemarkBudget budget = 5000ms;
    EXPECT_TRUE(App::concatenateSitemarks("A", {"C", "B", "", "A", "UNDEFINED"}, budget));
    EXPECT_TRUE(App::concatenateSitemarks("A", {"", "A", "UNDEFINED"}, budget));
    EXPECT_TRUE(App::concatenateSitemarks("A", {}));
    EXPECT_EQ(Targets(),
              std::vector<std::string>{std::string(kServiceRoot) + "/link/batch?main_id=A&link_id[]=B&link_id[]=C"});
}

TEST_F(SitemarkServiceTest, IdsAreEscapedInPathsAndQueries)
{
    const std::string root = kServiceRoot;
    ExpectJson("/used/a/b&c?d#e f%", {{"exist", true}});
    ExpectJson("/used/Ab-9_z", {{"exist", true}});
    ExpectJson("/link/batch", {{"success", true}});

    EXPECT_TRUE(App::isValidSitemark("a/b&c?d#e f%"));
    EXPECT_TRUE(App::isValidSitemark("Ab-9_z"));
    EXPECT_TRUE(App::concatenateSitemarks("m&x=1", {"d/e", "b#c"}));
    EXPECT_EQ(Targets(), (std::vector<std::string>{
                             root + "/used/a%2Fb%26c%3Fd%23e%20f%25",
                             root + "/used/Ab-9_z",
                             root + "/link/batch?main_id=m%26x%3D1&link_id[]=b%23c&link_id[]=d%2Fe",
                         }));
}

TEST_F(SitemarkServiceTest, UnansweringServicesEndWithinTheBudget)
{
    SilentPort silent;
    DroppingPort dropping;
    // The scripted server announces a reply and then sends nothing.
    m_server.Expect("GET", std::string(kServiceRoot) + "/used/id-1", Reply::Stall(64), Times::Exactly(1));
    struct Case {
        const char* name;
        std::string base;
        Operation operation;
        std::string result;
    };
    const Case cases[] = {
        {"accepts, never answers", silent.Url(kServiceRoot), Operation::NewId, ""},
        {"drops connections", dropping.Url(kServiceRoot), Operation::Check, "false"},
        {"stalls after the headers", m_server.Url(kServiceRoot), Operation::Check, "false"},
        {"accepts, never answers, link", silent.Url(kServiceRoot), Operation::Link, "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnvironment service("ZENTAK_UID_SERVICE_URL", c.base);
        SitemarkBudget budget = 1500ms;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(RunOperation(c.operation, budget), c.result);
        // Generous: the point is that the budget bounds the wait at all.
        EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    }
    EXPECT_GE(dropping.Dropped(), 1);
}

TEST_F(SitemarkServiceTest, PeerIsVerifiedAgainstTheTrustedAuthorities)
{
    // Without the test authority the server's certificate is not trusted, so
    // no request reaches it.
    ScopedEnvironment noTestAuthority("CURL_CA_BUNDLE", std::nullopt);
    EXPECT_EQ(App::requestSitemark(), "");
    EXPECT_TRUE(m_server.Requests().empty());
    ASSERT_FALSE(ReportedExceptions().empty());
    EXPECT_EQ(ReportedExceptions().back(), PerformFailed(CURLE_PEER_FAILED_VERIFICATION));
}

TEST_F(SitemarkServiceTest, SystemProxyCarriesTheRequest)
{
    TestServer plain(TestServer::Scheme::Http);
    plain.Expect("GET", std::string(kServiceRoot) + "/generate", JsonReply({{"id", "via-proxy"}}),
                 Times::Exactly(1));
    TestProxy proxy;
    ScopedEnvironment service("ZENTAK_UID_SERVICE_URL", plain.Url(kServiceRoot));
    ScopedEnvironment viaProxy("http_proxy", proxy.Url());
    EXPECT_EQ(App::requestSitemark(), "via-proxy");
    EXPECT_EQ(proxy.RequestedUrls(), std::vector<std::string>{plain.Url(std::string(kServiceRoot) + "/generate")});
}

} // namespace
} // namespace Zentak::Test
