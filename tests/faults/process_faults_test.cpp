// Processes failing: the program killed outright mid-download and started
// again, a second program started while the first runs, an installer that
// outlasts its time limit, an installer killed by a signal.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Files (not folders) under `folder`, recursively.
std::vector<fs::path> FilesUnder(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file()) {
            files.push_back(it->path());
        }
    }
    return files;
}

// SIGKILL while the package downloads: the run directory stays behind. The
// next run succeeds and removes it.
TEST(ProcessFaults, KilledMidDownloadThenStartedAgain)
{
    E2e::Scenario scenario({"--content-rate", "64"});
    scenario.AddPackage("app", {"KilledApp", 192 * 1024, 0, ""});
    const std::string config =
        scenario.Publish(scenario.Config({{"app", 1, "Killed App", "", ""}}));

    E2e::InstallerRun first = scenario.Run(config);
    UseLogDirectory(first, scenario.home.parent_path() / "logs-killed");
    auto process = E2e::StartInstaller(first, scenario.stderrFile);
    ASSERT_TRUE(WaitForLine(*process, "Page: Progress"));
    // Bytes of the package arrived in the run directory.
    const auto deadline = Clock::now() + 60s;
    bool downloading = false;
    while (!downloading && Clock::now() < deadline) {
        for (const fs::path& file : FilesUnder(scenario.tmp)) {
            downloading = downloading || (file.extension() == ".dmg" && fs::file_size(file) > 0);
        }
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(downloading) << "no package bytes in " << scenario.tmp;
    ASSERT_EQ(::kill(process->Pid(), SIGKILL), 0);
    const E2e::ProcessResult killed = process->Stop();
    EXPECT_EQ(killed.termSignal, SIGKILL) << killed.Describe();
    const std::vector<fs::path> stale = E2e::RunDirectories(scenario.tmp);
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_TRUE(fs::is_empty(scenario.home / "Applications") ||
                !fs::exists(scenario.home / "Applications"));

    const Outcome outcome =
        RunAndCheck(scenario.Run(config), scenario.home.parent_path() / "logs", {"KilledApp"},
                    [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe() << "\n"
                                          << outcome.result.out;
    EXPECT_FALSE(fs::exists(stale[0])) << "stale run directory kept: " << stale[0];
}

// Two programs for the same user at once. The single-instance lock never
// holds a second start back on this platform, so no "already running"
// dialog can show: both runs go through, each in its own run directory, and
// neither breaks the other.
TEST(ProcessFaults, SecondInstanceWhileTheFirstRuns)
{
    E2e::Scenario scenario({"--content-rate", "96"});
    scenario.AddPackage("app", {"TwiceApp", 192 * 1024, 0, ""});
    const std::string config = scenario.Publish(scenario.Config({{"app", 1, "Twice App", "", ""}}));
    const fs::path logs1 = scenario.home.parent_path() / "logs-first";
    const fs::path logs2 = scenario.home.parent_path() / "logs-second";

    E2e::InstallerRun first = scenario.Run(config);
    UseLogDirectory(first, logs1);
    auto process = E2e::StartInstaller(first, scenario.stderrFile);
    ASSERT_TRUE(WaitForLine(*process, "Page: Progress"));

    E2e::InstallerRun second = scenario.Run(config);
    UseLogDirectory(second, logs2);
    Outcome two;
    two.result = E2e::RunInstaller(second);
    ASSERT_TRUE(process->WaitForExit(120s));
    Outcome one;
    one.result = process->Stop();
    one.result.err = E2e::ReadFile(scenario.stderrFile);
    one.log = ReadLogs(logs1);
    two.log = ReadLogs(logs2);
    const std::vector<std::string> delivered = EventNames(scenario.Events());
    one.delivered = delivered;
    two.delivered = delivered;

    for (const Outcome* outcome : {&one, &two}) {
        SCOPED_TRACE(outcome == &one ? "first" : "second");
        CheckOutcome(*outcome, scenario.tmp, scenario.home, {"TwiceApp"});
        EXPECT_EQ(outcome->result.exitCode, 0) << outcome->result.Describe();
        EXPECT_FALSE(Contains(outcome->result.out, "already running")) << outcome->result.out;
    }
    EXPECT_EQ(Named(scenario.Events(), "BUNDLE_INSTALL_FINISHED").size(), 2u)
        << Describe(scenario.Events());
}

// An installer slower than its time limit (1 s here; a package of 60,000
// small files takes longer to unpack) is killed at the limit, every time it
// is retried; the run ends with the retry dialog and no product, and the
// unpacking it interrupted leaves nothing in the Applications folder.
TEST(ProcessFaults, InstallerOutlastingItsLimitIsKilled)
{
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"SlowApp", 1024, 60000, ""});
    E2e::InstallerRun run =
        scenario.Run(scenario.Publish(scenario.Config({{"app", 1, "Slow App", "", ""}})));
    run.env["ZENTAK_TEST_PROCESS_TIME_LIMIT_SECONDS"] = "1";
    const Outcome outcome = RunAndCheck(run, scenario.home.parent_path() / "logs", {},
                                        [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, 6) << outcome.result.Describe() << "\n"
                                          << outcome.result.out;
    EXPECT_TRUE(Contains(outcome.log, "process interrupted by timeout"));
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    EXPECT_TRUE(InOrder(EventNames(events), {"PRODUCT_INSTALL_STARTED", "PRODUCT_INSTALL_FAILED"}))
        << Describe(events);
    EXPECT_TRUE(Named(events, "PRODUCT_INSTALL_FINISHED").empty()) << Describe(events);
    // No unpacker of the killed installer goes on writing after the run.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(HomeHoldsOnly(scenario.home, {}));
}

// The install script dies of a signal mid-install (SIGSEGV from outside,
// as a crash would): the attempt fails, the automatic retry installs the
// product, and the crashed attempt's staging folder is gone.
TEST(ProcessFaults, InstallerKilledBySignalIsRetried)
{
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"CrashApp", 1024, 20000, ""});
    E2e::InstallerRun run =
        scenario.Run(scenario.Publish(scenario.Config({{"app", 1, "Crash App", "", ""}})));
    const fs::path logs = scenario.home.parent_path() / "logs";
    UseLogDirectory(run, logs);
    auto process = E2e::StartInstaller(run, scenario.stderrFile);
    const pid_t script = WaitForInstallScript(scenario.tmp.string(), 60s);
    ASSERT_GT(script, 0) << "no install script seen";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(::kill(script, SIGSEGV), 0);
    ASSERT_TRUE(process->WaitForExit(120s));
    Outcome outcome;
    outcome.result = process->Stop();
    outcome.result.err = E2e::ReadFile(scenario.stderrFile);
    outcome.log = ReadLogs(logs);
    outcome.delivered = EventNames(scenario.Events());
    CheckOutcome(outcome, scenario.tmp, scenario.home, {"CrashApp"});
    EXPECT_EQ(outcome.result.exitCode, 0) << outcome.result.Describe();
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    EXPECT_TRUE(
        InOrder(EventNames(events), {"PRODUCT_INSTALL_STARTED", "PRODUCT_INSTALL_FAILED",
                                     "PRODUCT_INSTALL_STARTED", "PRODUCT_INSTALL_FINISHED"}))
        << Describe(events);
}

} // namespace
} // namespace Zentak::Faults
