// The machine failing the program: a file system that fills up during the
// download, too little space at the check, an Applications folder that
// cannot be written, no HOME, a preferences folder that cannot be made, a
// TMPDIR that does not exist. Real mounts, real full disks (the tests run
// as root; without mount rights the cases that need one are skipped).

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_checks.h"
#include "harness/scenario.h"
#include "harness/tmpfs_mount_linux.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;

using E2e::TmpfsMount;

void WriteText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

struct MachineCase {
    std::string name;
    // Prepares the machine; returns false when the fault cannot be made
    // here (the case is then skipped). Mounts are kept in `mounts`.
    std::function<bool(E2e::Scenario&, E2e::InstallerRun&,
                       std::vector<std::unique_ptr<TmpfsMount>>&)>
        setup;
    // Package filler bytes.
    std::uintmax_t filler;
    int exitCode;
    std::vector<std::string> events; // in order
    std::vector<std::string> output; // line starts on standard output
    bool installs;
    std::string logged = {}; // a text the log must hold, if any
    int packages = 1;        // of `filler` bytes each, downloaded together
    std::string notLogged = {}; // a text the log must not hold, if any
};

std::ostream& operator<<(std::ostream& out, const MachineCase& test)
{
    return out << test.name;
}

const char* kRetryDialog = "Dialog: Something went wrong";

std::vector<MachineCase> Cases()
{
    return {
        // An 8 MiB TMPDIR and a 12 MiB package; the space check is told
        // there is room, so the download itself hits the full disk.
        {"DiskFullDuringDownload",
         [](E2e::Scenario& scenario, E2e::InstallerRun& run, auto& mounts) {
             mounts.push_back(std::make_unique<TmpfsMount>(scenario.tmp, "size=8m,mode=0700"));
             run.env["ZENTAK_TEST_FREE_SPACE"] = std::to_string(1ull << 40);
             return mounts.back()->Mounted();
         },
         12u << 20,
         5,
         {"PRODUCT_DOWNLOAD_ERROR", "BUNDLE_DOWNLOAD_ERROR"},
         {kRetryDialog, "Page: Cancel"},
         false},
        // The same small TMPDIR measured for real: five times 2 MiB does not
        // fit in 8 MiB, so nothing is downloaded.
        {"NotEnoughSpaceAtTheCheck",
         [](E2e::Scenario& scenario, E2e::InstallerRun&, auto& mounts) {
             mounts.push_back(std::make_unique<TmpfsMount>(scenario.tmp, "size=8m,mode=0700"));
             return mounts.back()->Mounted();
         },
         2u << 20,
         7,
         {"NOT_ENOUGH_DISK_SPACE"},
         {"Dialog: There is not enough space on drive"},
         false},
        // No size is known (none asked for, none configured) and the body
        // is larger than half the free space: the download stops there
        // instead of filling the disk, and says why.
        {"PackageOfUnknownSizeLargerThanHalfTheFreeSpace",
         [](E2e::Scenario& scenario, E2e::InstallerRun& run, auto& mounts) {
             mounts.push_back(std::make_unique<TmpfsMount>(scenario.tmp, "size=32m,mode=0700"));
             run.args.push_back("--assume-content-length-unavailable");
             return mounts.back()->Mounted();
         },
         20u << 20,
         5,
         {"PRODUCT_DOWNLOAD_ERROR", "BUNDLE_DOWNLOAD_ERROR"},
         {kRetryDialog},
         false,
         "is larger than the "},
        // Three such packages, each under half the free space, together
        // more than the volume holds: they share the half.
        {"PackagesOfUnknownSizeShareHalfTheFreeSpace",
         [](E2e::Scenario& scenario, E2e::InstallerRun& run, auto& mounts) {
             mounts.push_back(std::make_unique<TmpfsMount>(scenario.tmp, "size=32m,mode=0700"));
             run.args.push_back("--assume-content-length-unavailable");
             return mounts.back()->Mounted();
         },
         12u << 20,
         5,
         {"PRODUCT_DOWNLOAD_ERROR", "BUNDLE_DOWNLOAD_ERROR"},
         {kRetryDialog},
         false,
         "is larger than the ",
         3,
         " write error: "},
        // A read-only file system as the Applications folder.
        {"ReadOnlyApplicationsFolder",
         [](E2e::Scenario& scenario, E2e::InstallerRun&, auto& mounts) {
             mounts.push_back(
                 std::make_unique<TmpfsMount>(scenario.home / "Applications", "size=1m"));
             return mounts.back()->Mounted() && mounts.back()->MakeReadOnly();
         },
         64u << 10,
         6,
         {"PRODUCT_INSTALL_STARTED", "PRODUCT_INSTALL_FAILED"},
         {kRetryDialog},
         false},
        // A file where the Applications folder should be.
        {"ApplicationsFolderIsAFile",
         [](E2e::Scenario& scenario, E2e::InstallerRun&, auto&) {
             WriteText(scenario.home / "Applications", "not a folder\n");
             return true;
         },
         64u << 10,
         6,
         {"PRODUCT_INSTALL_STARTED", "PRODUCT_INSTALL_FAILED"},
         {kRetryDialog},
         false},
        // A file where the preferences folder should be: nothing can be
        // remembered, the installation still goes on.
        {"PreferencesFolderIsAFile",
         [](E2e::Scenario& scenario, E2e::InstallerRun&, auto&) {
             WriteText(scenario.home / "Library" / "Preferences", "not a folder\n");
             return true;
         },
         64u << 10,
         0,
         {"PRODUCT_INSTALL_FINISHED", "BUNDLE_INSTALL_FINISHED"},
         {},
         true},
        // TMPDIR names a folder that does not exist.
        {"TmpdirPointsNowhere",
         [](E2e::Scenario& scenario, E2e::InstallerRun& run, auto&) {
             run.env["TMPDIR"] = (scenario.tmp / "missing" / "folder").string();
             return true;
         },
         64u << 10,
         0,
         {"PRODUCT_INSTALL_FINISHED", "BUNDLE_INSTALL_FINISHED"},
         {},
         true},
    };
}

class MachineFaults : public ::testing::TestWithParam<MachineCase> {};

TEST_P(MachineFaults, RunEndsReportedAndClean)
{
    const MachineCase& test = GetParam();
    E2e::Scenario scenario;
    std::vector<E2e::PackageEntry> entries;
    for (int i = 0; i < test.packages; ++i) {
        const std::string id = i == 0 ? "app" : "app" + std::to_string(i + 1);
        scenario.AddPackage(id, {i == 0 ? "MachineApp" : "MachineApp" + std::to_string(i + 1),
                                 test.filler, 0, ""});
        entries.push_back({id, i + 1, "Machine App", "", ""});
    }
    E2e::InstallerRun run = scenario.Run(scenario.Publish(scenario.Config(entries)));
    run.timeout = std::chrono::seconds(120);
    std::vector<std::unique_ptr<TmpfsMount>> mounts;
    if (!test.setup(scenario, run, mounts)) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const Outcome outcome = RunAndCheck(run, scenario.home.parent_path() / "logs",
                                        test.installs ? std::vector<std::string>{"MachineApp"}
                                                      : std::vector<std::string>{},
                                        [&] { return EventNames(scenario.Events()); });
    EXPECT_EQ(outcome.result.exitCode, test.exitCode) << outcome.result.Describe() << "\n"
                                                      << outcome.result.out;
    const std::vector<E2e::CollectedEvent> events = scenario.Events();
    EXPECT_TRUE(InOrder(EventNames(events), test.events)) << Describe(events);
    for (const std::string& line : test.output) {
        EXPECT_FALSE(LinesStartingWith(outcome.result.out, line).empty()) << line << "\n"
                                                                          << outcome.result.out;
    }
    if (!test.installs) {
        EXPECT_TRUE(Named(events, "BUNDLE_INSTALL_FINISHED").empty()) << Describe(events);
    }
    EXPECT_TRUE(Contains(outcome.log, test.logged)) << test.logged;
    EXPECT_TRUE(test.notLogged.empty() || !Contains(outcome.log, test.notLogged)) << test.notLogged;
    // The run directory, wherever it was made, is named in the log.
    EXPECT_TRUE(Contains(outcome.log, "ZentakWebInstaller-")) << "no run directory in the log";
}

INSTANTIATE_TEST_SUITE_P(Cases, MachineFaults, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// No HOME at all: the program falls back to the account's home folder. The
// run happens in its own mount namespace with a test folder bound over that
// home, so what it writes there can be checked and the real one is spared.
TEST(MachineFaultsHome, MissingHomeUsesTheAccountsHome)
{
    E2e::Scenario scenario;
    scenario.AddPackage("app", {"MachineApp", 64u << 10, 0, ""});
    E2e::InstallerRun run =
        scenario.Run(scenario.Publish(scenario.Config({{"app", 1, "Machine App", "", ""}})));
    const fs::path accountHome = scenario.home.parent_path() / "account-home";
    fs::create_directories(accountHome);
    const fs::path logs = scenario.home.parent_path() / "logs";
    UseLogDirectory(run, logs);

    E2e::EnvironmentChanges env = run.env;
    env["HOME"] = std::nullopt;
    env["TMPDIR"] = run.tmp.string();
    env["DISPLAY"] = std::nullopt;
    std::vector<std::string> argv = {"unshare",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "sh",
                                     "-c",
                                     "mount --bind \"$1\" /root || exit 97; shift; exec \"$@\"",
                                     "sh",
                                     accountHome.string(),
                                     E2e::InstallerProgram().string()};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    const E2e::ProcessResult result = E2e::RunProcess(argv, env, std::chrono::seconds(120));
    if (result.exitCode == 97 || (result.exitCode == 1 && Contains(result.err, "unshare"))) {
        GTEST_SKIP() << "no mount namespace here: " << result.err;
    }
    EXPECT_TRUE(EndedCleanly(result)) << result.out;
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_TRUE(TmpIsEmpty(run.tmp));
    EXPECT_TRUE(HomeHoldsOnly(accountHome, {"MachineApp"}));
    // The HOME the test would have given stays untouched.
    EXPECT_TRUE(fs::is_empty(scenario.home));
    const std::string log = ReadLogs(logs);
    EXPECT_TRUE(NothingLost(log, EventNames(scenario.Events())));
    EXPECT_TRUE(fs::exists(accountHome / "Library" / "Preferences" / "com.zentak.user.plist"));
}

} // namespace
} // namespace Zentak::Faults
