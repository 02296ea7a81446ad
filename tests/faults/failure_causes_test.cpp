// Each way an unattended run fails, tried through the built program: the
// person reads one line that names the cause, and the exit code says its
// kind, so a script can tell a dead server from a full disk.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/event_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

using E2e::InstallerRun;
using E2e::LinesStartingWith;
using E2e::Scenario;

constexpr int kConfiguration = 4;
constexpr int kDownload = 5;
constexpr int kInstall = 6;
constexpr int kDiskSpace = 7;

struct CauseCase {
    std::string name;
    // Prepares the scenario and returns the run; fills `cause` with the
    // line expected on standard error, as far as it can be known before.
    std::function<InstallerRun(Scenario&, std::string& cause)> setUp;
    int exitCode;
};

std::ostream& operator<<(std::ostream& out, const CauseCase& test)
{
    return out << test.name;
}

std::string AppConfig(Scenario& scenario)
{
    scenario.AddPackage("app", {"CauseApp", 16 * 1024, 0, ""});
    return scenario.Config({{"app", 1, "Cause App", "", ""}});
}

std::vector<CauseCase> Cases()
{
    return {
        {"ConfigServerRefusesConnections",
         [](Scenario& scenario, std::string& cause) {
             const std::string port = std::to_string(ClosedLoopbackPort());
             cause = "installer: cannot connect to 127.0.0.1:" + port + " (connection refused)";
             return scenario.Run("http://127.0.0.1:" + port + "/config.ini");
         },
         kConfiguration},
        {"ConfigAnswers404",
         [](Scenario& scenario, std::string& cause) {
             const std::string url = scenario.Server().Url("/content/absent.ini");
             cause = "installer: HTTP 404 for " + url;
             return scenario.Run(url);
         },
         kConfiguration},
        {"ConfigIsMalformed",
         [](Scenario& scenario, std::string& cause) {
             cause = "installer: config.ini:3: unmatched '['";
             return scenario.Run(scenario.Publish("[Product]\nversion = 1\n[Installer\n"));
         },
         kConfiguration},
        {"ConfigFileMissing",
         [](Scenario& scenario, std::string& cause) {
             InstallerRun run = scenario.Run("");
             const std::string path = (scenario.tmp.parent_path() / "absent.ini").string();
             run.args = {"--unattended", "--config-file=" + path};
             cause = "installer: configuration file " + path + " not found";
             return run;
         },
         kConfiguration},
        {"PackageAnswers404",
         [](Scenario& scenario, std::string& cause) {
             const std::string config = scenario.Publish(AppConfig(scenario));
             scenario.FailDownloads("app", 404, 100);
             cause = "installer: app: HTTP 404 for " + scenario.PackageUrl("app") + " (2 attempts)";
             return scenario.Run(config);
         },
         kDownload},
        {"PackageFailsItsChecksum",
         [](Scenario& scenario, std::string& cause) {
             std::string config = AppConfig(scenario);
             config.insert(config.find("id = app\n") + 9, "sha256 = " + std::string(64, '0') + "\n");
             cause = "installer: app: sha256 mismatch for app: expected " + std::string(64, '0');
             return scenario.Run(scenario.Publish(config));
         },
         kDownload},
        {"InstallerFails",
         [](Scenario& scenario, std::string& cause) {
             scenario.AddCorruptPackage("app", 4096);
             cause = "installer: app: installer exited with code ";
             return scenario.Run(scenario.Publish(scenario.Config({{"app", 1, "Cause App", "", ""}})));
         },
         kInstall},
        {"NotEnoughDiskSpace",
         [](Scenario& scenario, std::string& cause) {
             InstallerRun run = scenario.Run(scenario.Publish(AppConfig(scenario)));
             run.env["ZENTAK_TEST_FREE_SPACE"] = "1000";
             // The first volume checked is the run directory's, in TMPDIR.
             cause = "installer: not enough disk space on " + scenario.tmp.string();
             return run;
         },
         kDiskSpace},
    };
}

class FailureCauses : public ::testing::TestWithParam<CauseCase> {};

TEST_P(FailureCauses, OneLineNamesTheCauseAndTheExitCodeItsKind)
{
    const CauseCase& test = GetParam();
    Scenario scenario;
    std::string cause;
    const InstallerRun run = test.setUp(scenario, cause);
    const Outcome outcome = RunAndCheck(run, scenario.home.parent_path() / "logs", {},
                                        [&] { return E2e::EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, test.exitCode) << outcome.result.Describe();
    // The cause that ended the run is the last one told, then where the
    // log is; the log has the cause too.
    const std::vector<std::string> lines = LinesStartingWith(outcome.result.err, "installer: ");
    ASSERT_GE(lines.size(), 2u) << outcome.result.err;
    const std::string& told = lines[lines.size() - 2];
    EXPECT_EQ(told.rfind(cause, 0), 0u) << "expected \"" << cause << "\" in\n" << outcome.result.err;
    EXPECT_TRUE(Contains(outcome.log, told)) << told;
    EXPECT_EQ(lines.back().rfind("installer: the log of this run is " +
                                     (scenario.home.parent_path() / "logs").string(),
                                 0),
              0u)
        << lines.back();
    if (test.exitCode == kConfiguration) {
        EXPECT_TRUE(LinesStartingWith(outcome.result.out, "Page: Start").empty())
            << outcome.result.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FailureCauses, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace Zentak::Faults
