// Servers that try to make the program leave its transport or its bounds: a
// redirect from https to plain http, URLs of other schemes, a configuration
// too large to hold (plainly or as a gzip bomb), and the common slip of a
// package labelled with the content encoding of its own format. The run
// ends by itself, refuses what it must with a reason in the log, and
// installs what it can.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;

constexpr const char* kNoConnection = "Dialog: You need to be connected to the Internet";
constexpr const char* kRetryDialog = "Dialog: Something went wrong";

// The servers a case may script: the development server's scenario, a
// plain and an HTTPS test server (whose authority the run trusts).
struct Servers {
    E2e::Scenario& scenario;
    TestServer& plain;
    TestServer& secure;
};

struct HostileCase {
    std::string name;
    // Scripts the servers and returns the configuration URL of the run.
    std::function<std::string(Servers&)> setUp;
    int exitCode;
    // In this order among the collector's events.
    std::vector<std::string> events;
    // Events that must not come.
    std::vector<std::string> absent;
    // Lines of standard output that must be there, texts the log must hold.
    std::vector<std::string> output;
    std::vector<std::string> logged;
};

std::ostream& operator<<(std::ostream& out, const HostileCase& test)
{
    return out << test.name;
}

std::string Config(Servers& servers, const std::string& packageUrl)
{
    return servers.scenario.Config({{"app", 1, "Hostile App", packageUrl, ""}});
}

std::vector<HostileCase> Cases()
{
    std::vector<HostileCase> cases;
    const std::vector<std::string> failedDownload = {"PRODUCT_DOWNLOAD_ERROR",
                                                     "BUNDLE_DOWNLOAD_ERROR",
                                                     "PRODUCT_DOWNLOAD_ERROR",
                                                     "BUNDLE_DOWNLOAD_ERROR"};
    auto refusedConfig = [&](std::string name, std::function<std::string(Servers&)> setUp,
                             std::string reason) {
        cases.push_back({std::move(name),
                         std::move(setUp),
                         4,
                         {},
                         {"PRODUCT_DOWNLOAD_STARTED"},
                         {kNoConnection},
                         {std::move(reason)}});
    };
    refusedConfig(
        "HttpsConfigRedirectedToHttp",
        [](Servers& s) {
            const std::string config = s.scenario.Publish(Config(s, ""));
            s.secure.Expect("GET", "/config.ini", Reply::Redirect(config, 301), Times::Any());
            return s.secure.Url("/config.ini");
        },
        "Unsupported protocol");
    refusedConfig(
        "ConfigUrlOfAFile",
        [](Servers& s) {
            s.scenario.Publish(Config(s, ""));
            return "file://" + (s.scenario.Server().ContentDir() / "config.ini").string();
        },
        "only http and https URLs are fetched, not file");
    refusedConfig(
        "PackageUrlOfAFile",
        [](Servers& s) { return s.scenario.Publish(Config(s, "file:///etc/hostname")); },
        "only http and https URLs are fetched, not file");
    refusedConfig(
        "ConfigOfTwoMebibytes",
        [](Servers& s) {
            const std::string padding(2u << 20, '\n');
            return s.scenario.Publish(Config(s, "") + padding);
        },
        "config refused: larger than 1048576 bytes");
    refusedConfig(
        "GzipBombConfig",
        [](Servers& s) {
            s.plain.Expect("GET", "/config.ini",
                           Reply::Gzip(Config(s, "") + std::string(64u << 20, '\n'))
                               .WithContentType("text/plain"),
                           Times::Any());
            return s.plain.Url("/config.ini");
        },
        "config refused: larger than 1048576 bytes");
    // A package asked for over TLS and redirected to plain HTTP, where the
    // real package waits: never fetched, so never installed.
    cases.push_back({"HttpsPackageRedirectedToHttp",
                     [](Servers& s) {
                         const std::string target = s.scenario.PackageUrl("app");
                         for (const char* method : {"HEAD", "GET"}) {
                             s.secure.Expect(method, "/app.tar.gz", Reply::Redirect(target, 301),
                                             Times::Any());
                         }
                         return s.scenario.Publish(Config(s, s.secure.Url("/app.tar.gz")));
                     },
                     5,
                     failedDownload,
                     {"PRODUCT_INSTALL_STARTED"},
                     {kRetryDialog},
                     {"Unsupported protocol"}});
    // The .tar.gz as it is, labelled "Content-Encoding: gzip".
    cases.push_back(
        {"PackageLabelledGzipEncoded",
         [](Servers& s) {
             const std::string body = E2e::ReadFile(s.scenario.PackageFile("app"));
             for (const char* method : {"HEAD", "GET"}) {
                 s.plain.Expect(method, "/app.tar.gz",
                                Reply::Body(body).WithHeader("Content-Encoding", "gzip"),
                                Times::Any());
             }
             return s.scenario.Publish(Config(s, s.plain.Url("/app.tar.gz")));
         },
         0,
         {"PRODUCT_DOWNLOAD_FINISHED", "PRODUCT_INSTALL_STARTED", "BUNDLE_INSTALL_FINISHED"},
         {},
         {},
         {}});
    return cases;
}

class HostileServerFaults : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileServerFaults, RefusedOrStoredAsServed)
{
    const HostileCase& test = GetParam();
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"HostileApp", 32u * 1024, 0, ""});
    TestServer plain;
    TestServer secure(TestServer::Scheme::Https);
    Servers servers{scenario, plain, secure};
    const std::string configUrl = test.setUp(servers);

    E2e::InstallerRun run = scenario.Run(configUrl);
    run.env["CURL_CA_BUNDLE"] = secure.CaFile();
    const bool installs = test.exitCode == 0;
    const Outcome outcome =
        RunAndCheck(run, scenario.home.parent_path() / "logs",
                    installs ? std::vector<std::string>{"HostileApp"} : std::vector<std::string>{},
                    [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, test.exitCode) << outcome.result.Describe() << "\n"
                                                      << outcome.result.out.substr(0, 4000);
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    EXPECT_TRUE(InOrder(EventNames(events), test.events)) << Describe(events);
    for (const std::string& name : test.absent) {
        EXPECT_TRUE(Named(events, name).empty()) << name << ": " << Describe(events);
    }
    for (const std::string& line : test.output) {
        EXPECT_FALSE(LinesStartingWith(outcome.result.out, line).empty())
            << line << "\n"
            << outcome.result.out.substr(0, 4000);
    }
    for (const std::string& text : test.logged) {
        EXPECT_TRUE(Contains(outcome.log, text)) << text;
    }
    // Nothing of an oversized configuration is echoed.
    EXPECT_LT(outcome.result.out.size(), 1u << 20);
    if (installs) {
        EXPECT_TRUE(fs::exists(scenario.InstalledProgram("HostileApp")));
    }
    plain.Stop();
    secure.Stop();
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileServerFaults, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// The most threads the process has had at any sample while it ran; 0 when
// it could not be read at all.
int SampleThreads(E2e::BackgroundProcess& process, std::chrono::seconds limit)
{
    int most = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!process.WaitForExit(std::chrono::milliseconds(20)) &&
           std::chrono::steady_clock::now() < end) {
        std::ifstream status("/proc/" + std::to_string(process.Pid()) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("Threads:", 0) == 0) {
                most = std::max(most, std::atoi(line.c_str() + 8));
            }
        }
    }
    return most;
}

// The usual open files limit of a macOS application, for this process and
// the program it starts.
class OpenFilesLimit {
public:
    explicit OpenFilesLimit(rlim_t files)
    {
        getrlimit(RLIMIT_NOFILE, &m_before);
        rlimit limited = m_before;
        limited.rlim_cur = std::min(files, m_before.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limited);
    }
    ~OpenFilesLimit() { setrlimit(RLIMIT_NOFILE, &m_before); }

private:
    rlimit m_before{};
};

// A configuration of 150 packages: the size queries and the transfers share
// a few threads and connections, so all of them install within 256 open
// files and a few dozen threads.
TEST(ScaleFaults, HundredFiftyPackagesWithinTheUsualLimits)
{
    constexpr int kPackages = 150;
    E2e::Scenario scenario;
    std::vector<E2e::PackageEntry> entries;
    std::vector<std::string> products;
    for (int i = 0; i < kPackages; ++i) {
        const std::string id = "p" + std::to_string(i);
        products.push_back("ScaleApp" + std::to_string(i));
        scenario.AddPackage(id, {products.back(), 512, 0, ""});
        entries.push_back({id, i, "Package " + std::to_string(i), "", ""});
    }
    E2e::InstallerRun run = scenario.Run(scenario.Publish(scenario.Config(entries)));
    const fs::path logs = scenario.home.parent_path() / "logs";
    UseLogDirectory(run, logs);

    int threads = 0;
    Outcome outcome;
    {
        OpenFilesLimit limit(256);
        auto process = E2e::StartInstaller(run, scenario.stderrFile);
        threads = SampleThreads(*process, std::chrono::seconds(240));
        outcome.result = process->Stop();
    }
    outcome.result.err = E2e::ReadFile(scenario.stderrFile);
    outcome.log = ReadLogs(logs);
    outcome.delivered = EventNames(scenario.Events());
    CheckOutcome(outcome, run.tmp, run.home, products);
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe();
    EXPECT_GT(threads, 0);
    EXPECT_LT(threads, 32);
    EXPECT_EQ(Named(scenario.Events(), "PRODUCT_INSTALL_FINISHED").size(),
              static_cast<std::size_t>(kPackages));
}

// Size queries that hang while the downloads work: each size is asked twice
// at most (all at once), never again before each install.
TEST(ScaleFaults, HangingSizeQueriesAreAskedTwiceAtMost)
{
    constexpr int kPackages = 4;
    E2e::Scenario scenario;
    TestServer server;
    std::vector<E2e::PackageEntry> entries;
    std::vector<std::string> products;
    for (int i = 0; i < kPackages; ++i) {
        const std::string id = "h" + std::to_string(i);
        products.push_back("HangApp" + std::to_string(i));
        scenario.AddPackage(id, {products.back(), 1024, 0, ""});
        const std::string path = "/" + id + ".tar.gz";
        // Silent past the program's 5 s low-speed limit, then done, so the
        // server's few threads are free again for the downloads.
        server.Expect("HEAD", path, Reply::Custom([](const httplib::Request&, httplib::Response&) {
                          std::this_thread::sleep_for(std::chrono::seconds(7));
                      }),
                      Times::Any());
        server.Expect("GET", path, Reply::Body(E2e::ReadFile(scenario.PackageFile(id))),
                      Times::Any());
        entries.push_back({id, i, "Hanging " + std::to_string(i), server.Url(path), ""});
    }
    const Outcome outcome =
        RunAndCheck(scenario.Run(scenario.Publish(scenario.Config(entries))),
                    scenario.home.parent_path() / "logs", products,
                    [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe();
    server.Stop();
    std::map<std::string, int> heads;
    for (const Zentak::Test::RecordedRequest& request : server.Requests()) {
        if (request.method == "HEAD") {
            ++heads[request.path];
        }
    }
    for (const auto& [path, count] : heads) {
        EXPECT_LE(count, 2) << path;
    }
    EXPECT_EQ(heads.size(), static_cast<std::size_t>(kPackages));
}

} // namespace
} // namespace Zentak::Faults
