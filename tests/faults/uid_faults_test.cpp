// The web user id service misbehaving while a first run asks it for a new
// id: down, black-holed, invalid JSON, wrong types, a huge body, an id that
// looks like a path. The run goes on within the service's time budget with
// the hardware id and installs; nothing the service says becomes a path.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;

constexpr const char* kGenerate = "/api/v1/uid/generate";

struct UidCase {
    std::string name;
    bool down = false;
    // The reply to the request for a new id (unless down).
    std::function<Reply()> reply;
    // Whether the reply's id is taken (it is well-formed) or the hardware id
    // is used instead.
    bool taken = false;
};

std::ostream& operator<<(std::ostream& out, const UidCase& test)
{
    return out << test.name;
}

std::vector<UidCase> Cases()
{
    auto json = [](std::string body) {
        return [body] { return Reply::Body(body).WithContentType("application/json"); };
    };
    std::string huge = "{\"id\": \"" + std::string(32u << 20, 'a') + "\"}";
    return {
        {"Down", true, nullptr, false},
        {"BlackHoled", false, [] { return Reply::Hang(); }, false},
        {"InvalidJson", false, json("{\"id\": \"0123abc"), false},
        {"NotAnObject", false, json("[\"0123abc\"]"), false},
        {"IdIsANumber", false, json("{\"id\": 12345}"), false},
        {"IdIsNull", false, json("{\"id\": null}"), false},
        {"IdIsAnObject", false, json("{\"id\": {\"id\": \"x\"}}"), false},
        {"HugeBody", false, json(huge), false},
        {"Status500", false, [] { return Reply::Status(500, "{}"); }, false},
    };
}

class UidFaults : public ::testing::TestWithParam<UidCase> {};

TEST_P(UidFaults, RunGoesOnWithTheHardwareId)
{
    const UidCase& test = GetParam();
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"UidApp", 16 * 1024, 0, ""});
    TestServer service;
    std::string serviceUrl = service.Url("/api/v1/uid");
    if (test.down) {
        serviceUrl = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/api/v1/uid";
    } else {
        service.Expect("GET", kGenerate, test.reply(), Times::Any());
    }
    E2e::InstallerRun run =
        scenario.Run(scenario.Publish(scenario.Config({{"app", 1, "Uid App", "", ""}})));
    run.env["ZENTAK_UID_SERVICE_URL"] = serviceUrl;
    run.timeout = std::chrono::seconds(90);
    const Outcome outcome = RunAndCheck(run, scenario.home.parent_path() / "logs", {"UidApp"},
                                        [&] { return E2e::EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe() << "\n"
                                          << outcome.result.out;
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    const std::vector<E2e::CollectedEvent> chosen = E2e::Named(events, "WI_NEW_SITEMARK");
    ASSERT_EQ(chosen.size(), 1u) << E2e::Describe(events);
    EXPECT_FALSE(chosen[0].Param("API_SITEMARK").has_value()) << *chosen[0].Param("API_SITEMARK");
    EXPECT_TRUE(Contains(outcome.log, "Using HardwareUid as Sitemark") ||
                Contains(outcome.log, "Proceeding with empty Sitemark"))
        << "no fallback in the log";
    if (!test.down) {
        EXPECT_GE(service.Requests().size(), 1u);
    }
    service.Stop();
}

INSTANTIATE_TEST_SUITE_P(Cases, UidFaults, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// An id made of path parts is only a value: the packages still land in the
// run directory and nothing appears beside it.
TEST(UidFaultsHostile, IdWithPathPartsStaysAValue)
{
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"UidApp", 16 * 1024, 0, ""});
    TestServer service;
    service.Expect(
        "GET", kGenerate,
        Reply::Body("{\"id\": \"../../../escaped\"}").WithContentType("application/json"),
        Times::Any());
    service.Expect("GET", "/api/v1/uid/used/../../../escaped", Reply::Body("{\"exist\": true}"),
                   Times::Any());
    E2e::InstallerRun run =
        scenario.Run(scenario.Publish(scenario.Config({{"app", 1, "Uid App", "", ""}})));
    run.env["ZENTAK_UID_SERVICE_URL"] = service.Url("/api/v1/uid");
    run.timeout = std::chrono::seconds(90);
    const fs::path outside = scenario.home.parent_path();
    const Outcome outcome = RunAndCheck(run, outside / "logs", {"UidApp"},
                                        [&] { return E2e::EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe() << "\n"
                                          << outcome.result.out;
    // Nothing new beside HOME, TMPDIR and the logs.
    for (const auto& entry : fs::directory_iterator(outside)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "home" || name == "tmp" || name == "logs" || name == "content" ||
                    name == "state")
            << entry.path();
    }
    EXPECT_FALSE(fs::exists(fs::path("/escaped")));
    service.Stop();
}

} // namespace
} // namespace Zentak::Faults
