// The downloads' and the installs' rooms driven through fakes of the
// splash, the statistics, the executor and the downloader: what each
// outcome leaves the package in, what the statistics and the user are told,
// and whether the run is asked to take its next step.
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logic/controller/package_downloads.h"
#include "logic/controller/package_installs.h"
#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/settings.h"
#include "support/test_environment.h"

namespace Zentak {
namespace {

using State = InstallerItem::State;

struct FakeTracker : IStatisticsTracker {
    void Initialize(const std::string&, const std::string&) override {}
    void TrackEvent(std::string name, const EventParameters& params) override
    {
        std::string line = name;
        for (const auto& [key, value] : params) {
            if (key == EventParam::kExitState) {
                line += " " + key + "=" + value;
            }
        }
        events.push_back(line);
    }
    std::vector<std::string> events;
};

// Records what the user would see, in order.
struct FakeSplash : ISplash {
    void RunSplash() override {}
    void SetPage(Page page) override { shown.push_back("page " + std::to_string(page)); }
    void UpdateProgress(int) override {}
    void UpdateInstallerInfo() override {}
    void Close() override {}
    void SetMainImage(std::string) override {}
    void SetProgressImage(Page, std::string) override {}
    void SetCloseButtonState(ButtonState) override {}
    void ShowNoConnectionError() override { shown.push_back("no connection"); }
    void ShowRetryDialog(const std::string& product, ProcessOutcome outcome) override
    {
        shown.push_back("retry " + product + " " + std::to_string(static_cast<int>(outcome)));
    }
    void ShowPlatformRequiredDialog(const std::string&) override {}
    void ShowInstallerAlreadyRunningDialog(const std::string&) override {}
    void ShowNotEnoughDiskSpaceDialog(const std::string&, uint64_t, uint64_t) override {}
    void ShowProgramIsRunningDialog(const std::string& name) override
    {
        shown.push_back("running " + name);
    }
    std::vector<std::string> shown;
};

struct FakeExecutor : IProcessExecutor {
    void Execute(IProcessExecutorObserver::Mode mode, const std::string& name,
                 const boost::filesystem::path&, const std::vector<std::string>&) override
    {
        started.push_back((mode == IProcessExecutorObserver::Run ? "run " : "install ") + name);
    }
    void DoMainThreadWork() override {}
    std::vector<std::string> started;
};

struct FakeDownloader : IDownloader {
    void Download(std::vector<DownloadItem>&& items) override { batches.push_back(items.size()); }
    void DoMainThreadWork() override {}
    std::string FailureCause() const override { return "HTTP 404 for http://127.0.0.1/codecs.dmg"; }
    std::vector<std::size_t> batches;
};

// Stands in for the controller: counts the steps it is asked to take.
struct Rooms : IPackageDownloadsObserver, IPackageInstallsObserver {
    Rooms()
    {
        packages.SetProductDisplayName("Reel Maker");
        InstallerItem item;
        item.id = "codecs";
        item.displayName = "Reel Codecs";
        item.runInstalled = {{"codecs", {}}};
        packages.Add(std::move(item));
    }

    void OnDownloadsEnded() override { ++steps; }
    void OnInstallEnded() override { ++steps; }
    bool RunEnded() const override { return false; }

    InstallerItem& Item() { return packages.Items().front(); }

    Test::TemporaryDirectory runDir;
    Packages packages;
    FakeTracker tracker;
    FakeSplash splash;
    FakeExecutor* executor = nullptr;
    FakeDownloader* downloader = nullptr;
    IProcessExecutorObserver* executorObserver = nullptr;
    IDownloaderEvents* downloaderEvents = nullptr;
    int steps = 0;
    std::ostringstream causes;
    RunOutcome outcome{causes};
    PackageInstalls installs{*this, packages, tracker, splash, outcome,
                             [this](IProcessExecutorObserver& observer, std::function<void()>) {
                                 executorObserver = &observer;
                                 auto fake = std::make_unique<FakeExecutor>();
                                 executor = fake.get();
                                 return std::unique_ptr<IProcessExecutor>(std::move(fake));
                             },
                             {}};
    PackageDownloads downloads{*this, packages, tracker, splash, outcome, runDir.Path().string(),
                               [this](IDownloaderEvents& events, std::function<void()>) {
                                   downloaderEvents = &events;
                                   auto fake = std::make_unique<FakeDownloader>();
                                   downloader = fake.get();
                                   return std::unique_ptr<IDownloader>(std::move(fake));
                               },
                               {}};
};

TEST(PackageInstalls, EachInstallerOutcomeLeavesItsStateEventsAndDialogs)
{
    struct Case {
        ProcessOutcome outcome;
        bool installDirKnown;
        State state;
        std::vector<std::string> events;
        std::vector<std::string> started;
        std::vector<std::string> shown;
        int steps;
    };
    const std::string finished = Events::kProductInstallFinished;
    const std::string failed = Events::kProductInstallFailed;
    const std::vector<Case> cases = {
        {ProcessOutcome::Success, true, State::Launched,
         {Events::kProductInstallStarted, finished, Events::kProductStarting},
         {"install codecs", "run codecs"}, {}, 1},
        {ProcessOutcome::SuccessOther, true, State::Launched,
         {Events::kProductInstallStarted, finished, Events::kProductStarting},
         {"install codecs", "run codecs"}, {}, 1},
        // Succeeded, but nothing says where: nothing to launch.
        {ProcessOutcome::Success, false, State::InstallFailed,
         {Events::kProductInstallStarted, failed}, {"install codecs"}, {}, 1},
        // The product to replace runs: the user is asked, the run waits.
        {ProcessOutcome::ProductRunning, true, State::InstallRunning,
         {Events::kProductInstallStarted}, {"install codecs"}, {"running Reel Codecs"}, 0},
        {ProcessOutcome::Error, true, State::InstallFailed,
         {Events::kProductInstallStarted, failed + " EXIT_STATE=UNKNOWN_ERROR"},
         {"install codecs"}, {}, 1},
        {ProcessOutcome::InstallerError, true, State::InstallFailed,
         {Events::kProductInstallStarted, failed + " EXIT_STATE=INSTALLER_ERROR"},
         {"install codecs"}, {}, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(static_cast<int>(test.outcome));
        Settings::Set(Settings::ID::InstallDir,
                      std::string(test.installDirKnown ? "/Applications/Reel" : ""));
        Rooms rooms;
        rooms.Item().state = State::Downloaded;
        InstallerItem* waiting = rooms.installs.NextWaiting();
        ASSERT_EQ(waiting, &rooms.Item());
        rooms.installs.StartInstall(*waiting);
        rooms.executorObserver->OnProcessFinished(IProcessExecutorObserver::Install, "codecs",
                                                  test.outcome, "installer exited with code 1");

        EXPECT_EQ(rooms.Item().state, test.state);
        EXPECT_EQ(rooms.tracker.events, test.events);
        EXPECT_EQ(rooms.executor->started, test.started);
        EXPECT_EQ(rooms.splash.shown, test.shown);
        EXPECT_EQ(rooms.steps, test.steps);
        // A launch is not done until it has reported.
        EXPECT_FALSE(rooms.installs.AllDone());
    }
}

TEST(PackageRooms, FailuresAreRetriedThenAskedAbout)
{
    Rooms rooms;
    // Downloads: the first failure is retried at once, the next three are
    // asked about, then the network is given up.
    std::vector<bool> retried;
    for (int i = 0; i < 6; ++i) {
        retried.push_back(rooms.downloads.RetryAfterFailure(rooms.Item()));
    }
    EXPECT_EQ(retried, (std::vector<bool>{true, false, false, false, false, false}));
    const std::string none = std::to_string(static_cast<int>(ProcessOutcome::None));
    EXPECT_EQ(rooms.splash.shown,
              (std::vector<std::string>{"retry Reel Codecs " + none, "retry Reel Codecs " + none,
                                        "retry Reel Codecs " + none, "no connection",
                                        "no connection"}));
    EXPECT_EQ(rooms.downloads.ErrorCount(), 6);

    // Installs: four retries at once, then the dialog, which shows a plain
    // failure for an installer that gave no reason of its own.
    rooms.splash.shown.clear();
    retried.clear();
    for (int i = 0; i < 5; ++i) {
        retried.push_back(rooms.installs.RetryAfterFailure(rooms.Item()));
    }
    EXPECT_EQ(retried, (std::vector<bool>{true, true, true, true, false}));
    EXPECT_EQ(rooms.splash.shown, (std::vector<std::string>{"retry Reel Codecs 1"}));
}

// What the person is told when the rooms give up, and the exit code that
// the kind of failure gives an unattended run.
TEST(PackageRooms, FailuresThatStopTheRunTellTheirCauseAndKind)
{
    Settings::Set(Settings::ID::InstallDir, std::string("/Applications/Reel"));
    const std::string status = "curl_multi_perform failed: http response code = 404";
    {
        Rooms rooms;
        rooms.Item().configuredSize = 1;
        for (bool retried : {true, false}) {
            ASSERT_TRUE(rooms.downloads.Start());
            rooms.downloaderEvents->OnWorkStarted(0);
            rooms.downloaderEvents->OnWorkFailed(0, 1, status);
            EXPECT_EQ(rooms.downloads.RetryAfterFailure(rooms.Item()), retried);
            rooms.Item().state = State::Pending;
        }
        EXPECT_EQ(rooms.causes.str(),
                  "installer: codecs: HTTP 404 for http://127.0.0.1/codecs.dmg (2 attempts)\n");
        EXPECT_EQ(rooms.outcome.ExitCode(false), 5);
        EXPECT_EQ(rooms.outcome.ExitCode(true), 0);
    }
    {
        Rooms rooms;
        rooms.Item().failureCause = "installer exited with code 1: disk is full";
        for (int i = 0; i < 5; ++i) {
            rooms.installs.RetryAfterFailure(rooms.Item());
        }
        EXPECT_EQ(rooms.causes.str(), "installer: codecs: installer exited with code 1: disk is full\n");
        EXPECT_EQ(rooms.outcome.ExitCode(false), 6);
    }
    {
        Rooms rooms;
        rooms.Item().configuredSize = std::uint64_t(1) << 60;
        EXPECT_FALSE(rooms.downloads.EnoughDiskSpace());
        EXPECT_EQ(rooms.causes.str().rfind("installer: not enough disk space on ", 0), 0u)
            << rooms.causes.str();
        EXPECT_EQ(rooms.outcome.ExitCode(false), 7);
    }
    Rooms untouched;
    EXPECT_EQ(untouched.outcome.ExitCode(false), 3) << "ended without a failure: cancelled";
}

TEST(PackageDownloads, ABatchReportsEachPackageThenItselfThenAsksForTheNextStep)
{
    Settings::Set(Settings::ID::InstallDir, std::string("/Applications/Reel"));
    Rooms rooms;
    rooms.Item().configuredSize = 1;
    ASSERT_TRUE(rooms.downloads.Start());
    EXPECT_EQ(rooms.downloader->batches, std::vector<std::size_t>{1});
    EXPECT_EQ(rooms.Item().state, State::Downloading);

    rooms.downloaderEvents->OnWorkStarted(0);
    rooms.downloaderEvents->OnItemDownloadStarted("codecs", 0);
    rooms.downloaderEvents->OnItemDownloadFinished("codecs", 10);
    EXPECT_EQ(rooms.steps, 0);
    rooms.downloaderEvents->OnWorkFinished(10);

    EXPECT_EQ(rooms.Item().state, State::Downloaded);
    EXPECT_EQ(rooms.tracker.events,
              (std::vector<std::string>{Events::kBundleDownloadStarted,
                                        Events::kProductDownloadStarted,
                                        Events::kProductDownloadFinished,
                                        Events::kBundleDownloadFinished}));
    EXPECT_EQ(rooms.splash.shown,
              std::vector<std::string>{"page " + std::to_string(ISplash::Wait)});
    EXPECT_EQ(rooms.steps, 1);
}

} // namespace
} // namespace Zentak
