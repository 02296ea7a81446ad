// The statistics endpoint misbehaving for a whole run: down, flapping,
// answering 500, answering only after 10 s. The installation does not depend
// on it: the run installs the product and ends within its bounds, and every
// event is either accepted by the endpoint or written to the log as unsent.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

using namespace std::chrono_literals;

// The packages the endpoint accepted (answered 200), whole.
struct Accepted {
    std::mutex mutex;
    std::vector<std::string> bodies;
    std::atomic<int> requests{0};

    void Add(const std::string& body)
    {
        std::lock_guard<std::mutex> lock(mutex);
        bodies.push_back(body);
    }
    std::vector<std::string> Bodies()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return bodies;
    }
};

enum class Endpoint { Down, Flapping, Status500, Late };

struct StatsCase {
    std::string name;
    Endpoint endpoint;
};

std::ostream& operator<<(std::ostream& out, const StatsCase& test)
{
    return out << test.name;
}

class StatsFaults : public ::testing::TestWithParam<StatsCase> {};

TEST_P(StatsFaults, InstallationGoesOnAndNoEventIsLost)
{
    const StatsCase& test = GetParam();
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"StatsApp", 32 * 1024, 0, ""});
    TestServer server;
    auto accepted = std::make_shared<Accepted>();
    std::string statsUrl = server.Url("/stats");
    switch (test.endpoint) {
    case Endpoint::Down:
        statsUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/stats";
        break;
    case Endpoint::Status500:
        server.Expect("POST", "/stats", Reply::Status(500, "collector broken"), Times::Any());
        break;
    case Endpoint::Flapping:
        // Every other request fails.
        server.Expect(
            "POST", "/stats",
            Reply::Custom([accepted](const httplib::Request& request, httplib::Response& response) {
                if (accepted->requests++ % 2 == 0) {
                    response.status = 503;
                    return;
                }
                accepted->Add(request.body);
                response.status = 200;
            }),
            Times::Any());
        break;
    case Endpoint::Late:
        // Accepts every package, but answers only after 10 s: far past the
        // program's own limit for one request.
        server.Expect(
            "POST", "/stats",
            Reply::Custom([accepted](const httplib::Request& request, httplib::Response& response) {
                accepted->Add(request.body);
                std::this_thread::sleep_for(10s);
                response.status = 200;
            }),
            Times::Any());
        break;
    }
    std::string config = scenario.Config({{"app", 1, "Stats App", "", ""}});
    const std::string devStats = scenario.Server().Url("/stats");
    config.replace(config.find(devStats), devStats.size(), statsUrl);

    E2e::InstallerRun run = scenario.Run(scenario.Publish(config));
    run.timeout = std::chrono::seconds(90);
    const Outcome outcome = RunAndCheck(run, scenario.home.parent_path() / "logs", {"StatsApp"},
                                        [&] { return EventsInPackages(accepted->Bodies()); });
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe() << "\n"
                                          << outcome.result.out;
    // The run did what it would do with a working endpoint.
    const std::vector<std::string> tracked = TrackedEvents(outcome.log);
    EXPECT_TRUE(E2e::InOrder(tracked, {"BUNDLE_INSTALL_STARTED", "PRODUCT_DOWNLOAD_FINISHED",
                                       "PRODUCT_INSTALL_FINISHED", "BUNDLE_INSTALL_FINISHED"}));
    if (test.endpoint != Endpoint::Flapping && test.endpoint != Endpoint::Late) {
        EXPECT_TRUE(outcome.delivered.empty());
        EXPECT_FALSE(UnsentEvents(outcome.log).empty()) << "nothing logged as unsent";
    }
    if (test.endpoint == Endpoint::Flapping) {
        EXPECT_FALSE(outcome.delivered.empty()) << "no package got through the flapping endpoint";
    }
    // Nothing went to the development server's collector instead.
    EXPECT_TRUE(scenario.Events().empty());
    server.Stop();
}

INSTANTIATE_TEST_SUITE_P(Cases, StatsFaults,
                         ::testing::Values(StatsCase{"DownForTheWholeRun", Endpoint::Down},
                                           StatsCase{"Flapping", Endpoint::Flapping},
                                           StatsCase{"Answering500", Endpoint::Status500},
                                           StatsCase{"AnsweringAfterTenSeconds", Endpoint::Late}),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace Zentak::Faults
