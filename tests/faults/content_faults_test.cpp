// The content server misbehaving while the program downloads a package or a
// splash picture: refused connections, resets, stalls, drips, error
// statuses, redirect loops, lying lengths, a gzip bomb and an endless
// picture. Whatever the server does, the run ends by itself, reports the
// failure, installs nothing half-made and leaves nothing behind.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kPackagePath = "/packages/faulty.tar.gz";
constexpr const char* kPicturePath = "/images/progress.png";
constexpr const char* kRetryDialog = "Dialog: Something went wrong";

std::string RawReply(const std::string& headers, const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + headers +
           "Connection: close\r\n\r\n" + body;
}

enum class Target { Package, Picture, Refused };

struct ContentCase {
    std::string name;
    Target target;
    // Scripts the faulty server; `body` is the real package's bytes.
    std::function<void(TestServer&, const std::string& body)> script;
    int exitCode;
    // In this order among the collector's events.
    std::vector<std::string> events;
    // Events that must not come.
    std::vector<std::string> absent;
    // Lines of standard output that must be there.
    std::vector<std::string> output;
};

std::ostream& operator<<(std::ostream& out, const ContentCase& test)
{
    return out << test.name;
}

void HeadGivesSize(TestServer& server, const std::string& body)
{
    server.Expect("HEAD", kPackagePath, Reply::Body(body), Times::Any());
}

// Failed once, retried at once, failed again; the retry dialog is answered
// with cancel, which shows the cancel page and sends nothing more.
const std::vector<std::string> kFailedDownload = {"PRODUCT_DOWNLOAD_ERROR", "BUNDLE_DOWNLOAD_ERROR",
                                                  "PRODUCT_DOWNLOAD_ERROR",
                                                  "BUNDLE_DOWNLOAD_ERROR"};
const std::vector<std::string> kInstalled = {"PRODUCT_DOWNLOAD_FINISHED", "PRODUCT_INSTALL_STARTED",
                                             "BUNDLE_INSTALL_FINISHED"};

std::vector<ContentCase> Cases()
{
    std::vector<ContentCase> cases;
    auto failing = [&](std::string name,
                       std::function<void(TestServer&, const std::string&)> script) {
        cases.push_back({std::move(name),
                         Target::Package,
                         std::move(script),
                         5,
                         kFailedDownload,
                         {"PRODUCT_INSTALL_STARTED"},
                         {kRetryDialog, "Page: Cancel"}});
    };
    cases.push_back({"ConnectionRefused",
                     Target::Refused,
                     nullptr,
                     5,
                     kFailedDownload,
                     {"PRODUCT_INSTALL_STARTED"},
                     {kRetryDialog, "Page: Cancel"}});
    failing("ResetMidBody", [](TestServer& server, const std::string& body) {
        HeadGivesSize(server, body);
        server.Expect("GET", kPackagePath, Reply::Reset(body, body.size() / 2), Times::Any());
    });
    for (int status : {404, 500, 503}) {
        failing("Status" + std::to_string(status),
                [status](TestServer& server, const std::string& body) {
                    HeadGivesSize(server, body);
                    server.Expect("GET", kPackagePath, Reply::Status(status, "no"), Times::Any());
                });
    }
    failing("RedirectLoop", [](TestServer& server, const std::string&) {
        server.Expect("HEAD", kPackagePath, Reply::Redirect(kPackagePath), Times::Any());
        server.Expect("GET", kPackagePath, Reply::Redirect(kPackagePath), Times::Any());
    });
    failing("ContentLengthLongerThanBody", [](TestServer& server, const std::string& body) {
        HeadGivesSize(server, body);
        server.Expect("GET", kPackagePath,
                      Reply::Raw(RawReply(
                          "Content-Length: " + std::to_string(body.size() + 4096) + "\r\n", body)),
                      Times::Any());
    });
    // A server that announces less than it sends: the surplus is not taken,
    // the short package counts as downloaded and its installer refuses it
    // every time; nothing half-made may stay.
    cases.push_back(
        {"ContentLengthShorterThanBody",
         Target::Package,
         [](TestServer& server, const std::string& body) {
             HeadGivesSize(server, body);
             server.Expect(
                 "GET", kPackagePath,
                 Reply::Raw(
                     RawReply("Content-Length: " + std::to_string(body.size() / 2) + "\r\n", body)),
                 Times::Any());
         },
         6,
         {"PRODUCT_DOWNLOAD_FINISHED", "PRODUCT_INSTALL_FAILED"},
         {"BUNDLE_INSTALL_FINISHED"},
         {kRetryDialog}});
    // The size query says 10 bytes; the package is larger and still whole.
    cases.push_back({"HeadUnderstatesTheSize",
                     Target::Package,
                     [](TestServer& server, const std::string& body) {
                         server.Expect("HEAD", kPackagePath, Reply::Body(std::string(10, 'x')),
                                       Times::Any());
                         server.Expect("GET", kPackagePath, Reply::Body(body), Times::Any());
                     },
                     0,
                     kInstalled,
                     {},
                     {}});
    // The size query claims more than any disk holds: a terabyte, and a size
    // whose fivefold wraps around to 4 bytes in 64-bit arithmetic. The space
    // check refuses the run before anything is downloaded.
    for (const auto& [name, length] : {std::pair<const char*, const char*>{"HeadClaimsATerabyte",
                                                                           "1099511627776"},
                                       {"HeadClaimsASizeWhoseFivefoldWraps",
                                        "3689348814741910324"}}) {
        const std::string head = std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + length +
                                 "\r\nConnection: close\r\n\r\n";
        cases.push_back({name,
                         Target::Package,
                         [head](TestServer& server, const std::string&) {
                             server.Expect("HEAD", kPackagePath, Reply::Raw(head), Times::Any());
                             server.Expect("GET", kPackagePath, Reply::Status(500), Times::Any());
                         },
                         7,
                         {"NOT_ENOUGH_DISK_SPACE", "BUNDLE_INSTALL_CANCELLED"},
                         {"PRODUCT_DOWNLOAD_STARTED"},
                         {"Dialog: There is not enough space"}});
    }
    // 64 KiB in 2 KiB steps every 50 ms: slow, never below the low-speed limit.
    cases.push_back({"SlowDrip",
                     Target::Package,
                     [](TestServer& server, const std::string& body) {
                         HeadGivesSize(server, body);
                         server.Expect("GET", kPackagePath, Reply::Drip(body, 2048, 50ms),
                                       Times::Any());
                     },
                     0,
                     kInstalled,
                     {},
                     {}});
    // Content-Encoding gzip whose decoded size (64 MiB) is four times the
    // picture limit: pictures are stored as served, so the bomb is never
    // inflated; its 64 KiB arrive whole and the installation goes on.
    cases.push_back({"GzipBombPicture",
                     Target::Picture,
                     [](TestServer& server, const std::string&) {
                         server.Expect(
                             "GET", kPicturePath,
                             Reply::Gzip(std::string(64u << 20, '\0')).WithContentType("image/png"),
                             Times::Any());
                     },
                     0,
                     {"IMAGE_DOWNLOAD_STARTED", "IMAGE_DOWNLOAD_COMPLETED",
                      "BUNDLE_INSTALL_FINISHED"},
                     {"IMAGE_DOWNLOAD_FAILED"},
                     {}});
    // A 2 GiB body produced as it is sent: the program must give up at the
    // picture limit instead of holding it.
    cases.push_back(
        {"TwoGibibytePicture",
         Target::Picture,
         [](TestServer& server, const std::string&) {
             server.Expect("GET", kPicturePath,
                           Reply::Custom([](const httplib::Request&, httplib::Response& response) {
                               response.set_content_provider(
                                   std::size_t{2} << 30, "image/png",
                                   [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                       static const std::string chunk(64 * 1024, 'p');
                                       return sink.write(chunk.data(),
                                                         std::min(length, chunk.size()));
                                   });
                           }),
                           Times::Any());
         },
         0,
         {"IMAGE_DOWNLOAD_STARTED", "IMAGE_DOWNLOAD_FAILED", "BUNDLE_INSTALL_FINISHED"},
         {"IMAGE_DOWNLOAD_COMPLETED"},
         {}});
    return cases;
}

class ContentFaults : public ::testing::TestWithParam<ContentCase> {};

TEST_P(ContentFaults, RunEndsReportedAndClean)
{
    const ContentCase& test = GetParam();
    // With a picture at fault the package comes from the development
    // server at 64 KiB/s, so the run lasts long enough for the picture to
    // reach its end or its limit.
    E2e::Scenario scenario(test.target == Target::Picture
                               ? std::vector<std::string>{"--content-rate", "64"}
                               : std::vector<std::string>{});
    scenario.AddPackage(
        "faulty", {"FaultyApp", test.target == Target::Picture ? 160u * 1024 : 64u * 1024, 0, ""});
    const std::string body = E2e::ReadFile(scenario.PackageFile("faulty"));
    ASSERT_FALSE(body.empty());

    TestServer server;
    std::string packageUrl;
    std::string extra;
    switch (test.target) {
    case Target::Refused:
        packageUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + kPackagePath;
        break;
    case Target::Package:
        packageUrl = server.Url(kPackagePath);
        test.script(server, body);
        break;
    case Target::Picture:
        packageUrl = scenario.PackageUrl("faulty");
        extra = "[Splash]\nprogress = " + server.Url(kPicturePath) + "\n";
        test.script(server, body);
        break;
    }
    const std::string config =
        scenario.Publish(scenario.Config({{"faulty", 1, "Faulty Package", packageUrl, ""}}, extra));

    const bool installs = test.exitCode == 0;
    const Outcome outcome =
        RunAndCheck(scenario.Run(config), scenario.home.parent_path() / "logs",
                    installs ? std::vector<std::string>{"FaultyApp"} : std::vector<std::string>{},
                    [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, test.exitCode) << outcome.result.Describe() << "\n"
                                                      << outcome.result.out;
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    EXPECT_TRUE(InOrder(EventNames(events), test.events)) << Describe(events);
    for (const std::string& name : test.absent) {
        EXPECT_TRUE(Named(events, name).empty()) << name << ": " << Describe(events);
    }
    for (const std::string& line : test.output) {
        EXPECT_FALSE(LinesStartingWith(outcome.result.out, line).empty()) << line << "\n"
                                                                          << outcome.result.out;
    }
    server.Stop();
}

// A package with a mirror: a dead primary hands over to the mirror, and the
// run installs; with every source failing the run ends in the retry dialog
// as for any failed download, and the statistics and the log name each
// source with why it failed.
TEST(MirrorFaults, DeadSourcesHandOverOrEndInTheRetryDialog)
{
    for (const bool mirrorWorks : {true, false}) {
        SCOPED_TRACE(mirrorWorks ? "working mirror" : "every source failing");
        E2e::Scenario scenario;
        scenario.AddPackage("faulty", {"FaultyApp", 64u * 1024, 0, ""});
        TestServer broken;
        broken.Expect("GET", kPackagePath, Reply::Status(503, "busy"), Times::Any());
        // The size the dead URL cannot tell is asked of the mirror.
        broken.Expect("HEAD", kPackagePath, Reply::Status(503), Times::Any());
        const std::string dead =
            "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + kPackagePath;
        const std::string mirror =
            mirrorWorks ? scenario.PackageUrl("faulty") : broken.Url(kPackagePath);
        std::string config = scenario.Config({{"faulty", 1, "Faulty Package", dead, ""}});
        const std::string urlLine = "url = " + dead + "\n";
        config.insert(config.find(urlLine) + urlLine.size(), "mirrors = " + mirror + "\n");

        const fs::path logs = scenario.home.parent_path() / "logs";
        const std::vector<std::string> products =
            mirrorWorks ? std::vector<std::string>{"FaultyApp"} : std::vector<std::string>{};
        const Outcome outcome = RunAndCheck(scenario.Run(scenario.Publish(config)), logs, products,
                                            [&] { return EventNames(scenario.Events()); });
        const std::vector<E2e::CollectedEvent> events = scenario.Events();
        EXPECT_EQ(outcome.result.exitCode, mirrorWorks ? 0 : 5) << outcome.result.out;
        EXPECT_TRUE(Contains(outcome.log, "Item faulty from " + dead + " failed: "));
        if (mirrorWorks) {
            EXPECT_TRUE(InOrder(EventNames(events), kInstalled)) << Describe(events);
            EXPECT_TRUE(Named(events, "PRODUCT_DOWNLOAD_ERROR").empty()) << Describe(events);
            continue;
        }
        EXPECT_TRUE(InOrder(EventNames(events), kFailedDownload)) << Describe(events);
        EXPECT_FALSE(LinesStartingWith(outcome.result.out, kRetryDialog).empty())
            << outcome.result.out;
        const auto errors = Named(events, "PRODUCT_DOWNLOAD_ERROR", "faulty");
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.front().Param("CURL_ERROR").value_or(""),
                  "every source of faulty failed: " + dead +
                      ": curl_multi_perform failed: Couldn't connect to server; " + mirror +
                      ": curl_multi_perform failed: http response code = 503");
        const std::string port = dead.substr(17, dead.find('/', 17) - 17);
        EXPECT_TRUE(Contains(outcome.result.err,
                             "installer: faulty: every source failed: cannot connect to 127.0.0.1:" +
                                 port + " (connection refused); HTTP 503 for " + mirror))
            << outcome.result.err;
        broken.Stop();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ContentFaults, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace Zentak::Faults
