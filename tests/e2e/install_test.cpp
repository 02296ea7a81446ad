// Installation and launch, through the built program against the
// development server: the order installers run in, what a product launch
// lets start, how failed installers are retried, and an interrupted run.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "harness/event_checks.h"
#include "harness/scenario.h"
#include "support/wait_for.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;
using Test::WaitFor;

constexpr const char* kRetryDialogStart = "Dialog: Something went wrong";
constexpr std::chrono::milliseconds kPollStep(100);

// Names in HOME's Applications folder, hidden ones (staging folders) included.
std::vector<std::string> ApplicationsEntries(const fs::path& home)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(home / "Applications", error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Only the installation events, "NAME(product)" each.
std::vector<std::string> InstallSequence(const std::vector<CollectedEvent>& events)
{
    std::vector<std::string> sequence;
    for (const CollectedEvent& event : events) {
        if (event.name == "PRODUCT_INSTALL_STARTED" || event.name == "PRODUCT_INSTALL_FINISHED" ||
            event.name == "PRODUCT_INSTALL_FAILED" || event.name == "PRODUCT_STARTING" ||
            event.name == "BUNDLE_INSTALL_FINISHED") {
            const auto product = event.Param("PRODUCT_NAME");
            sequence.push_back(product ? event.name + "(" + *product + ")" : event.name);
        }
    }
    return sequence;
}

// Packages install one at a time, lowest install order first and packages
// of equal order in configuration order; each one's parameters are written
// beside the installation folder.
TEST(Installation, PackagesInstallInOrderOneAtATime)
{
    Scenario scenario;
    scenario.AddPackage("later-a", {"LaterA", 16 * 1024, 0, ""});
    scenario.AddPackage("first", {"First", 16 * 1024, 0, ""});
    scenario.AddPackage("later-b", {"LaterB", 16 * 1024, 0, ""});
    // Parameters go to a file beside the installation folder, after the
    // lines already there, one line per key in key order.
    std::ofstream(scenario.home / "first.cfg") << "existing=1\n";
    const std::string config = scenario.Config(
        {{"later-a", 2, "", "", ""}, {"first", 1, "", "", ""}, {"later-b", 2, "", "", ""}},
        "[ProductParameters]\nid = first\nconfig_file_name = first.cfg\nzeta = last\n"
        "alpha = first one\nMixed = Case\n\n"
        "[ProductParameters]\nid = first\nconfig_file_name = first-more.cfg\nchannel = e2e\n\n"
        "[ProductParameters]\nid = nobody\nconfig_file_name = nobody.cfg\nkey = value\n\n");
    const ProcessResult result = RunInstaller(scenario.Run(scenario.Publish(config)));
    ASSERT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;

    const std::vector<CollectedEvent> events = scenario.Events();
    EXPECT_EQ(InstallSequence(events),
              (std::vector<std::string>{
                  "PRODUCT_INSTALL_STARTED(first)", "PRODUCT_INSTALL_FINISHED(first)",
                  "PRODUCT_INSTALL_STARTED(later-a)", "PRODUCT_INSTALL_FINISHED(later-a)",
                  "PRODUCT_INSTALL_STARTED(later-b)", "PRODUCT_INSTALL_FINISHED(later-b)",
                  "BUNDLE_INSTALL_FINISHED"}));
    // Installation starts once the whole batch is downloaded.
    EXPECT_LT(IndexOf(events, "BUNDLE_DOWNLOAD_FINISHED"), IndexOf(events, "PRODUCT_INSTALL_STARTED"));
    const std::vector<CollectedEvent> finished = Named(events, "BUNDLE_INSTALL_FINISHED");
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_TRUE(ParamsMatch(CallerParams(finished[0]),
                            {{"DOWNLOAD_ERROR_COUNT", "0"}, {"INSTALL_ERROR_COUNT", "0"}}));

    EXPECT_EQ(ApplicationsEntries(scenario.home),
              (std::vector<std::string>{"First.app", "LaterA.app", "LaterB.app"}));
    EXPECT_EQ(ReadFile(scenario.home / "first.cfg"),
              "existing=1\nMixed=Case\nalpha=first one\nzeta=last\n");
    EXPECT_EQ(ReadFile(scenario.home / "first-more.cfg"), "channel=e2e\n");
    EXPECT_FALSE(fs::exists(scenario.home / "nobody.cfg"));
    EXPECT_TRUE(scenario.LaunchLog().empty()) << "nothing was to be launched";

    // A second run updates the values in place instead of adding copies.
    std::string changed = config;
    changed.replace(changed.find("zeta = last"), 11, "zeta = next");
    const ProcessResult again = RunInstaller(scenario.Run(scenario.Publish(changed)));
    ASSERT_EQ(again.exitCode, 0) << again.Describe() << "\n" << again.out;
    EXPECT_EQ(ReadFile(scenario.home / "first.cfg"),
              "existing=1\nMixed=Case\nalpha=first one\nzeta=next\n");
    EXPECT_EQ(ReadFile(scenario.home / "first-more.cfg"), "channel=e2e\n");
}

// The end of a product launch asks for the next installer at once: with the
// first package's product launched, the third package's installer starts
// while the second's still runs.
TEST(Installation, ALaunchLetsTheNextPackageStartBesideARunningInstaller)
{
    Scenario scenario;
    scenario.AddPackage("a", {"AppA", 8 * 1024, 0, ""});
    // Thousands of files: its installer takes far longer than a launch,
    // whose end is reported as soon as the product is detached.
    scenario.AddPackage("b", {"AppB", 8 * 1024, 4000, ""});
    scenario.AddPackage("c", {"AppC", 8 * 1024, 0, ""});
    const std::string config = scenario.Config(
        {{"a", 1, "", "", "a"}, {"b", 2, "", "", ""}, {"c", 3, "", "", ""}},
        "[Mac_Environment]\nbundle_name = AppA\n");
    const ProcessResult result = RunInstaller(scenario.Run(scenario.Publish(config)));
    ASSERT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;

    const std::vector<CollectedEvent> events = scenario.Events();
    const std::vector<std::string> order = {
        "PRODUCT_INSTALL_STARTED(a)", "PRODUCT_INSTALL_FINISHED(a)", "PRODUCT_STARTING(a)",
        "PRODUCT_INSTALL_STARTED(b)", "PRODUCT_INSTALL_STARTED(c)", "PRODUCT_INSTALL_FINISHED(b)"};
    const std::vector<std::string> sequence = InstallSequence(events);
    EXPECT_TRUE(InOrder(sequence, order));
    EXPECT_TRUE(InOrder(sequence, {"PRODUCT_INSTALL_STARTED(c)", "PRODUCT_INSTALL_FINISHED(c)",
                                   "BUNDLE_INSTALL_FINISHED"}));
    EXPECT_EQ(sequence.back(), "BUNDLE_INSTALL_FINISHED") << Join(sequence);
    EXPECT_EQ(sequence.size(), 8u) << Join(sequence);
    EXPECT_EQ(Named(events, "PRODUCT_START_SUCCEEDED", "a").size(), 1u) << Describe(events);

    EXPECT_EQ(ApplicationsEntries(scenario.home),
              (std::vector<std::string>{"AppA.app", "AppB.app", "AppC.app"}));
    EXPECT_TRUE(fs::exists(scenario.home / "Applications" / "AppB.app" / "Contents" /
                           "Resources" / "many" / "file3999.txt"));
    // Detached, so its line may come a moment after the exit.
    EXPECT_TRUE(WaitFor([&] { return scenario.LaunchLog() == "AppA launched\n"; },
                        std::chrono::seconds(10), kPollStep))
        << "launch log: \"" << scenario.LaunchLog() << "\"";
}

// A package whose installer fails: four automatic retries, then the retry
// dialog, whose answer decides.
TEST(Installation, AFailingInstallerIsRetriedFourTimesThenTheUserDecides)
{
    struct Case {
        std::string answers;
        int failures;
        int dialogs;
        int exitCode;
        bool goodInstalled;
    } cases[] = {
        {"", 5, 1, 6, false},
        {"retry", 6, 2, 6, false},
        {"skip", 5, 1, 0, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE("answers \"" + test.answers + "\"");
        Scenario scenario;
        scenario.AddCorruptPackage("broken", 20 * 1024);
        scenario.AddPackage("good", {"GoodApp", 8 * 1024, 0, ""});
        InstallerRun run = scenario.Run(scenario.Publish(scenario.Config(
            {{"broken", 1, "Broken Package", "", ""}, {"good", 2, "Good Package", "", ""}})));
        run.env["ZENTAK_TEST_RETRY_ANSWERS"] = test.answers;
        const ProcessResult result = RunInstaller(run);
        EXPECT_EQ(result.exitCode, test.exitCode) << result.Describe() << "\n" << result.out;

        const std::vector<CollectedEvent> events = scenario.Events();
        std::vector<std::string> expected;
        for (int i = 0; i < test.failures; ++i) {
            expected.push_back("PRODUCT_INSTALL_STARTED(broken)");
            expected.push_back("PRODUCT_INSTALL_FAILED(broken)");
        }
        if (test.goodInstalled) {
            expected.push_back("PRODUCT_INSTALL_STARTED(good)");
            expected.push_back("PRODUCT_INSTALL_FINISHED(good)");
            expected.push_back("BUNDLE_INSTALL_FINISHED");
        }
        EXPECT_EQ(InstallSequence(events), expected);

        const std::vector<CollectedEvent> starts = Named(events, "PRODUCT_INSTALL_STARTED", "broken");
        const std::vector<CollectedEvent> failures = Named(events, "PRODUCT_INSTALL_FAILED", "broken");
        for (size_t i = 0; i < starts.size() && i < failures.size(); ++i) {
            SCOPED_TRACE("attempt " + std::to_string(i + 1));
            EXPECT_TRUE(ParamsMatch(CallerParams(starts[i]), {{"PRODUCT_NAME", "broken"},
                                                              {"INSTALL_ERROR_COUNT", std::to_string(i)},
                                                              {"DOWNLOAD_ERROR_COUNT", "0"}}));
            EXPECT_TRUE(ParamsMatch(CallerParams(failures[i]),
                                    {{"PRODUCT_NAME", "broken"},
                                     {"DOWNLOAD_ERROR_COUNT", "0"},
                                     {"INSTALL_ERROR_COUNT", std::to_string(i + 1)},
                                     {"EXIT_STATE", "UNKNOWN_ERROR"}}));
        }
        // Retries install the package already downloaded.
        EXPECT_EQ(Named(events, "PRODUCT_DOWNLOAD_FINISHED", "broken").size(), 1u);
        EXPECT_EQ(Named(events, "BUNDLE_DOWNLOAD_FINISHED").size(), 1u);

        const std::vector<std::string> dialogs = LinesStartingWith(result.out, kRetryDialogStart);
        EXPECT_EQ(dialogs.size(), static_cast<size_t>(test.dialogs)) << result.out;
        for (const std::string& dialog : dialogs) {
            EXPECT_NE(dialog.find("(Broken Package)"), std::string::npos) << dialog;
        }
        if (test.goodInstalled) {
            const std::vector<CollectedEvent> done = Named(events, "BUNDLE_INSTALL_FINISHED");
            ASSERT_EQ(done.size(), 1u);
            EXPECT_TRUE(ParamsMatch(CallerParams(done[0]),
                                    {{"DOWNLOAD_ERROR_COUNT", "0"}, {"INSTALL_ERROR_COUNT", "5"}}));
            EXPECT_EQ(ApplicationsEntries(scenario.home), std::vector<std::string>{"GoodApp.app"});
        } else {
            // Cancel shows the cancel page and ends the run without a word
            // to the statistics server.
            EXPECT_TRUE(InOrder(Lines(result.out), {"Page: Wait", "Page: Cancel"})) << result.out;
            EXPECT_TRUE(Named(events, "BUNDLE_INSTALL_CANCELLED").empty()) << Describe(events);
            EXPECT_EQ(EventNames(events).back(), "PRODUCT_INSTALL_FAILED") << Describe(events);
            EXPECT_TRUE(ApplicationsEntries(scenario.home).empty())
                << Join(ApplicationsEntries(scenario.home));
        }
        EXPECT_TRUE(RunDirectories(scenario.tmp).empty());
        EXPECT_FALSE(fs::exists(scenario.home / "Library" / "Preferences" /
                                "com.zentak.install_env.plist"));
    }
}

// Ctrl-C while the packages download is the exit button: the run is
// reported cancelled and ends without waiting for the downloads.
TEST(Installation, InterruptWhileDownloadingEndsTheRunPromptly)
{
    // 1 MiB at 16 KiB/s would take over a minute.
    Scenario scenario({"--content-rate", "16"});
    scenario.AddPackage("slow", {"SlowApp", 1024 * 1024, 0, ""});
    const InstallerRun run =
        scenario.Run(scenario.Publish(scenario.Config({{"slow", 1, "", "", ""}})));
    std::unique_ptr<BackgroundProcess> program = StartInstaller(run, scenario.stderrFile);

    ASSERT_TRUE(WaitFor([&] { return IndexOf(scenario.Events(), "PRODUCT_DOWNLOAD_STARTED") >= 0; },
                        std::chrono::seconds(60), kPollStep))
        << "no download started; events: " << Describe(scenario.Events());
    ASSERT_EQ(kill(program->Pid(), SIGINT), 0);
    const bool ended = program->WaitForExit(std::chrono::seconds(20));
    const ProcessResult result = program->Stop();
    ASSERT_TRUE(ended) << "still running 20 s after SIGINT; " << result.Describe();
    EXPECT_EQ(result.exitCode, 3) << result.Describe();

    std::vector<std::string> lines;
    for (std::optional<std::string> line; (line = program->ReadLine(std::chrono::milliseconds(0)));) {
        lines.push_back(*line);
    }
    EXPECT_TRUE(InOrder(lines, {"Page: Progress", "Interrupted"})) << Join(lines, "\n");

    const std::vector<CollectedEvent> events = scenario.Events();
    const std::vector<CollectedEvent> cancelled = Named(events, "BUNDLE_INSTALL_CANCELLED");
    ASSERT_EQ(cancelled.size(), 1u) << Describe(events);
    EXPECT_TRUE(ParamsMatch(CallerParams(cancelled[0]),
                            {{"DOWNLOAD_ERROR_COUNT", "0"}, {"INSTALL_ERROR_COUNT", "0"}}));
    EXPECT_TRUE(Named(events, "PRODUCT_DOWNLOAD_FINISHED").empty()) << Describe(events);
    EXPECT_TRUE(Named(events, "BUNDLE_DOWNLOAD_FINISHED").empty()) << Describe(events);
    EXPECT_TRUE(Named(events, "PRODUCT_INSTALL_STARTED").empty()) << Describe(events);
    EXPECT_EQ(EventNames(events).back(), "BUNDLE_INSTALL_CANCELLED") << Describe(events);
    EXPECT_TRUE(RunDirectories(scenario.tmp).empty());
    EXPECT_TRUE(ApplicationsEntries(scenario.home).empty());
}

} // namespace
} // namespace Zentak::E2e
