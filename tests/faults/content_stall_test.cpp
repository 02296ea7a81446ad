// A content server that stalls mid-body, cut by the program's own
// low-speed limit for packages (15 s without a byte). Slow by nature.
#include <string>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {


constexpr const char* kPackagePath = "/packages/faulty.tar.gz";

// The program's own low-speed limit for packages (15 s without a byte):
// the first transfer stalls after its first bytes, the automatic retry gets
// the whole package and the run finishes.
TEST(ContentFaultsSlow, StallIsCutAtTheLowSpeedLimitAndRetried)
{
    E2e::Scenario scenario;
    scenario.AddPackage("faulty", {"FaultyApp", 64 * 1024, 0, ""});
    const std::string body = E2e::ReadFile(scenario.PackageFile("faulty"));
    TestServer server;
    server.Expect("HEAD", kPackagePath, Reply::Body(body), Times::Any());
    server.Expect("GET", kPackagePath, Reply::Stall(body.size(), body.substr(0, 1000)),
                  Times::Exactly(1));
    server.Expect("GET", kPackagePath, Reply::Body(body), Times::Any());
    const std::string config = scenario.Publish(
        scenario.Config({{"faulty", 1, "Faulty Package", server.Url(kPackagePath), ""}}));
    const Outcome outcome =
        RunAndCheck(scenario.Run(config), scenario.home.parent_path() / "logs", {"FaultyApp"},
                    [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe() << "\n"
                                          << outcome.result.out;
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    EXPECT_TRUE(InOrder(EventNames(events), {"PRODUCT_DOWNLOAD_ERROR", "PRODUCT_DOWNLOAD_FINISHED",
                                             "BUNDLE_INSTALL_FINISHED"}))
        << Describe(events);
    server.Stop();
}

} // namespace
} // namespace Zentak::Faults
