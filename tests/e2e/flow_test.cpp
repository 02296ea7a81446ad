// From the configuration to the downloaded packages, through the built
// program against the development server: what the statistics server
// receives about the downloads, the names the packages are stored under, the
// disk-space rule and how failed downloads are retried.

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness/event_checks.h"
#include "harness/scenario.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kNoConnectionLine =
    "Dialog: You need to be connected to the Internet to download the program.";
constexpr const char* kRetryDialogStart = "Dialog: Something went wrong";

// Requests of `method` for `path` in the development server's request log.
int RequestCount(const DevServer& server, const std::string& method, const std::string& path)
{
    const std::string log = ReadFile(server.LogFile());
    const std::string needle = "\"" + method + " " + path + " ";
    int count = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// The fewest whole seconds a body of `size` bytes can take from a server
// limited to `rate` bytes per second, which sends the first tenth of a
// second's share at once.
unsigned long long MinSeconds(std::uintmax_t size, std::uintmax_t rate)
{
    const double seconds = static_cast<double>(size - rate / 10) / static_cast<double>(rate);
    return static_cast<unsigned long long>(std::floor(seconds));
}

// A download event's speed is its byte count divided by its whole seconds.
void ExpectSpeedFromSizeAndTime(const CollectedEvent& event, const std::string& bytesParam)
{
    const unsigned long long bytes = Number(event, bytesParam);
    const unsigned long long seconds = Number(event, "TIME_ELAPSED");
    ASSERT_GE(seconds, 1u) << event.name;
    EXPECT_EQ(Number(event, "AVERAGE_SPEED"), bytes / seconds)
        << event.name << ": " << bytes << " bytes in " << seconds << " s";
}

TEST(DownloadFlow, TwoPackagesReportExactSizesTimesAndSpeeds)
{
    // Limited per transfer, so each package takes a few seconds and the
    // reported times must be more than the minimum of 1.
    constexpr std::uintmax_t kRate = 48 * 1024;
    Scenario scenario({"--content-rate", "48"});
    const std::uintmax_t bigSize = scenario.AddPackage("big", {"BigApp", 160 * 1024, 0, ""});
    const std::uintmax_t smallSize = scenario.AddPackage("small", {"SmallApp", 112 * 1024, 0, ""});
    const std::string picture = scenario.AddPicture();
    const std::string config = scenario.Publish(scenario.Config(
        {{"big", 2, "Big Package", "", ""}, {"small", 1, "Small Package", "", ""}},
        "[Splash]\nprogress = " + picture + "\n"));

    const auto started = Clock::now();
    const ProcessResult result = RunInstaller(scenario.Run(config));
    const auto wallSeconds = static_cast<unsigned long long>(
        std::ceil(std::chrono::duration<double>(Clock::now() - started).count()));
    ASSERT_EQ(result.exitCode, 0) << result.Describe() << "\nstandard output:\n" << result.out;

    const std::vector<std::string> lines = Lines(result.out);
    EXPECT_TRUE(InOrder(lines, {"Page: Start", "Page: Progress", "Page: Wait"})) << result.out;
    EXPECT_TRUE(InOrder(lines, {"Page: Progress", "Picture for page Progress: 67 bytes, PNG"}))
        << result.out;
    EXPECT_TRUE(ProgressOnlyRises(result.out));
    EXPECT_TRUE(InOrder(lines, {"Installing 1 of 2: Small Package", "Installing 2 of 2: Big Package",
                                "Result: installed (exit code 0)"}))
        << result.out;

    const std::vector<CollectedEvent> events = scenario.Events();
    const std::vector<std::string> names = EventNames(events);
    EXPECT_TRUE(InOrder(names, {"CONFIG_DOWNLOAD_STARTED", "CONFIG_DOWNLOAD_COMPLETED",
                                "BUNDLE_INSTALL_STARTED", "BUNDLE_EULA_ACCEPTED",
                                "PRODUCT_DOWNLOAD_STARTED", "PRODUCT_DOWNLOAD_STARTED",
                                "BUNDLE_DOWNLOAD_STARTED", "PRODUCT_DOWNLOAD_FINISHED",
                                "PRODUCT_DOWNLOAD_FINISHED", "BUNDLE_DOWNLOAD_FINISHED",
                                "PRODUCT_INSTALL_STARTED"}));
    // The pictures are asked for when install is pressed.
    EXPECT_TRUE(InOrder(names, {"BUNDLE_EULA_ACCEPTED", "IMAGE_DOWNLOAD_STARTED",
                                "IMAGE_DOWNLOAD_COMPLETED"}));

    const std::vector<std::pair<std::string, Params>> once = {
        {"CONFIG_DOWNLOAD_STARTED", {}},
        {"CONFIG_DOWNLOAD_COMPLETED", {}},
        {"BUNDLE_INSTALL_STARTED",
         {{"INITIALIZATION_TIME", "<positive>"}, {"PREFERRED_BROWSER", "UNDEFINED"}}},
        {"BUNDLE_EULA_ACCEPTED", {{"ACCEPTANCE_RESULT", "YES"}}},
        {"IMAGE_DOWNLOAD_STARTED", {{"IMAGE_TYPE", "progress"}}},
        {"IMAGE_DOWNLOAD_COMPLETED", {{"IMAGE_TYPE", "progress"}}},
        {"BUNDLE_DOWNLOAD_STARTED", {{"TOTAL_SIZE", "0"}}},
    };
    for (const auto& [name, params] : once) {
        const std::vector<CollectedEvent> found = Named(events, name);
        ASSERT_EQ(found.size(), 1u) << name << " in " << Describe(events);
        EXPECT_TRUE(ParamsMatch(CallerParams(found[0]), params)) << name;
    }

    const std::uintmax_t sizes[] = {bigSize, smallSize};
    const char* ids[] = {"big", "small"};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(ids[i]);
        const std::vector<CollectedEvent> starts = Named(events, "PRODUCT_DOWNLOAD_STARTED", ids[i]);
        ASSERT_EQ(starts.size(), 1u) << Describe(events);
        EXPECT_TRUE(ParamsMatch(CallerParams(starts[0]),
                                {{"PRODUCT_NAME", ids[i]}, {"TOTAL_SIZE", "0"}}));
        const std::vector<CollectedEvent> ends = Named(events, "PRODUCT_DOWNLOAD_FINISHED", ids[i]);
        ASSERT_EQ(ends.size(), 1u) << Describe(events);
        EXPECT_TRUE(ParamsMatch(CallerParams(ends[0]), {{"PRODUCT_NAME", ids[i]},
                                                        {"TOTAL_SIZE", std::to_string(sizes[i])},
                                                        {"ERROR_COUNT", "0"},
                                                        {"TIME_ELAPSED", "<positive>"},
                                                        {"AVERAGE_SPEED", "<decimal>"}}));
        const unsigned long long seconds = Number(ends[0], "TIME_ELAPSED");
        EXPECT_GE(seconds, MinSeconds(sizes[i], kRate));
        EXPECT_LE(seconds, wallSeconds);
        ExpectSpeedFromSizeAndTime(ends[0], "TOTAL_SIZE");
    }

    const std::vector<CollectedEvent> bundle = Named(events, "BUNDLE_DOWNLOAD_FINISHED");
    ASSERT_EQ(bundle.size(), 1u);
    EXPECT_TRUE(ParamsMatch(CallerParams(bundle[0]),
                            {{"TOTAL_SIZE", std::to_string(bigSize + smallSize)},
                             {"ERROR_COUNT", "0"},
                             {"TIME_ELAPSED", "<positive>"},
                             {"AVERAGE_SPEED", "<decimal>"}}));
    // The batch's clock starts when its worker reports the start, a moment
    // after the packages' own clocks.
    EXPECT_GE(Number(bundle[0], "TIME_ELAPSED") + 1, MinSeconds(bigSize, kRate));
    EXPECT_LE(Number(bundle[0], "TIME_ELAPSED"), wallSeconds);
    ExpectSpeedFromSizeAndTime(bundle[0], "TOTAL_SIZE");
}

// One run with --debug and the distribution name `distribPrefix` + "_W" +
// the file id + "_", checked for the web user id chosen and for the names
// of the downloaded package files: decimal digits, then the web user id and
// browser tags, the way the installer's own disk image is named.
struct NamingCase {
    std::string name;
    bool serviceKnowsTheFileId; // else the service is asked for a new id
    bool serviceReachable;
    std::string distribPrefix;
    std::string browserTag;
    std::string browserName; // as reported, "UNDEFINED" for none
};

void CheckPackageFileNames(const NamingCase& test)
{
    SCOPED_TRACE(test.name);
    Scenario scenario;
    std::string fileId = "123";
    if (test.serviceKnowsTheFileId) {
        httplib::Client client("127.0.0.1", scenario.Server().Port());
        client.set_read_timeout(10);
        const httplib::Result reply = client.Get("/api/v1/uid/generate");
        ASSERT_TRUE(reply && reply->status == 200);
        fileId = nlohmann::json::parse(reply->body).at("id").get<std::string>();
    }
    const std::uintmax_t oneSize = scenario.AddPackage("one", {"OneApp", 20 * 1024, 0, ""});
    const std::uintmax_t twoSize = scenario.AddPackage("two", {"TwoApp", 30 * 1024, 0, ""});
    InstallerRun run = scenario.Run(scenario.Publish(
        scenario.Config({{"one", 1, "", "", ""}, {"two", 2, "", "", ""}})));
    run.args.push_back("--debug");
    run.args.push_back("--distrib-name=" + test.distribPrefix + "_W" + fileId + "_");
    if (!test.serviceReachable) {
        run.env["ZENTAK_UID_SERVICE_URL"] = "http://127.0.0.1:9/api/v1/uid";
    }
    const ProcessResult result = RunInstaller(run);
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;

    const std::vector<CollectedEvent> events = scenario.Events();
    const std::vector<CollectedEvent> decisions = Named(events, "WI_NEW_SITEMARK");
    ASSERT_EQ(decisions.size(), 1u) << Describe(events);
    const std::string chosen = decisions[0].Param("SITEMARK").value_or("");
    ASSERT_FALSE(chosen.empty());
    Params expected = {{"NOT_VALID_REG_USER_SITEMARK", ""},
                       {"NOT_VALID_REG_PRODUCT_SITEMARK", ""}};
    if (test.serviceKnowsTheFileId) {
        expected.emplace_back("FILE_SITEMARK", fileId);
        EXPECT_EQ(chosen, fileId);
    } else {
        expected.emplace_back("NOT_VALID_FILE_SITEMARK", fileId);
        EXPECT_NE(chosen, fileId);
    }
    if (test.serviceReachable && !test.serviceKnowsTheFileId) {
        expected.emplace_back("API_SITEMARK", chosen);
    }
    if (!test.serviceReachable) {
        // The hardware id stands in.
        EXPECT_EQ(chosen, decisions[0].Param("HUID").value_or(""));
    }
    expected.emplace_back("MERGE_SITEMARK_RESULT", "not attempted");
    EXPECT_TRUE(ParamsMatch(CallerParams(decisions[0]), expected));

    const std::vector<CollectedEvent> started = Named(events, "BUNDLE_INSTALL_STARTED");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].Param("PREFERRED_BROWSER"), test.browserName);
    for (const CollectedEvent& install : Named(events, "PRODUCT_INSTALL_STARTED")) {
        EXPECT_EQ(install.Param("PREFERRED_BROWSER").value_or("UNDEFINED"), test.browserName);
        EXPECT_EQ(install.Param("SITEMARK"), chosen);
    }

    // --debug keeps the run directory with the downloads.
    const std::vector<fs::path> runDirectories = RunDirectories(scenario.tmp);
    ASSERT_EQ(runDirectories.size(), 1u);
    const std::string suffix = "_W" + chosen + "_" + test.browserTag + ".dmg";
    std::vector<std::string> packages;
    for (const auto& entry : fs::directory_iterator(runDirectories[0])) {
        const std::string file = entry.path().filename().string();
        if (entry.path().extension() != ".dmg") {
            continue;
        }
        packages.push_back(file);
        const bool digits = file.size() > suffix.size() &&
                            file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                            std::all_of(file.begin(), file.end() - static_cast<long>(suffix.size()),
                                        [](unsigned char c) { return std::isdigit(c); });
        EXPECT_TRUE(digits) << file << " is not decimal digits followed by " << suffix;
        const std::string bytes = ReadFile(entry.path());
        EXPECT_TRUE(bytes == ReadFile(scenario.PackageFile("one")) ||
                    bytes == ReadFile(scenario.PackageFile("two")))
            << file << " is not a complete copy of a package (" << bytes.size() << " bytes; "
            << oneSize << " and " << twoSize << " served)";
    }
    EXPECT_EQ(packages.size(), 2u) << Join(packages);
}

TEST(DownloadFlow, PackageFileNamesCarryTheWebUserId)
{
    const NamingCase cases[] = {
        {"file id known", true, true, "Zentak Reel Maker Installer", "", "UNDEFINED"},
        {"file id unknown, a new one", false, true, "Zentak Reel Maker Installer", "", "UNDEFINED"},
        {"no service, the hardware id", false, false, "Zentak Reel Maker Installer", "",
         "UNDEFINED"},
    };
    for (const NamingCase& test : cases) {
        CheckPackageFileNames(test);
    }
}

// The distribution name also names the browser that downloaded it: it is
// reported and tags the package files too.
TEST(DownloadFlow, TheBrowserOfTheDistributionNameIsReportedAndTagsTheFiles)
{
    const NamingCase cases[] = {
        {"Chrome", false, true, "Zentak Reel Maker Installer SetupC", "SetupC", "Google Chrome"},
        {"Edge, file id known", true, true, "Zentak Reel Maker Installer SetupE", "SetupE",
         "Microsoft Edge"},
    };
    for (const NamingCase& test : cases) {
        CheckPackageFileNames(test);
    }
}

// Five times the packages' total must be free; the run stops before any
// download when it is not.
TEST(DownloadFlow, FreeSpaceMustBeFiveTimesThePackages)
{
    Scenario scenario;
    const std::uintmax_t total = scenario.AddPackage("large", {"LargeApp", 1024 * 1024, 0, ""}) +
                                 scenario.AddPackage("medium", {"MediumApp", 600 * 1024, 0, ""});
    const std::string config = scenario.Publish(
        scenario.Config({{"large", 1, "", "", ""}, {"medium", 2, "", "", ""}}));
    const std::uintmax_t required = 5 * total;

    struct Case {
        std::uintmax_t available;
        bool refused;
    } cases[] = {{1000, true}, {required - 1, true}, {required, false}};
    for (const Case& test : cases) {
        SCOPED_TRACE("available " + std::to_string(test.available));
        fs::remove_all(scenario.Server().StateDir() / "events.jsonl");
        fs::remove_all(scenario.home / "Applications");
        InstallerRun run = scenario.Run(config);
        run.env["ZENTAK_TEST_FREE_SPACE"] = std::to_string(test.available);
        const ProcessResult result = RunInstaller(run);
        const std::vector<CollectedEvent> events = scenario.Events();
        const std::vector<CollectedEvent> refusals = Named(events, "NOT_ENOUGH_DISK_SPACE");
        EXPECT_TRUE(RunDirectories(scenario.tmp).empty());

        if (!test.refused) {
            EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
            EXPECT_TRUE(refusals.empty()) << Describe(events);
            EXPECT_TRUE(fs::exists(scenario.InstalledProgram("LargeApp")));
            EXPECT_TRUE(fs::exists(scenario.InstalledProgram("MediumApp")));
            continue;
        }
        EXPECT_EQ(result.exitCode, 7) << result.Describe() << "\n" << result.out;
        ASSERT_EQ(refusals.size(), 1u) << Describe(events);
        EXPECT_TRUE(ParamsMatch(CallerParams(refusals[0]),
                                {{"REQUIRED_BYTES", std::to_string(required)},
                                 {"AVAILABLE_BYTES", std::to_string(test.available)}}));
        // The dialog names the missing decimal megabytes, at least 1.
        const std::uintmax_t megabytes =
            std::max<std::uintmax_t>(1, (required - test.available) / 1000000);
        const std::vector<std::string> dialogs = LinesStartingWith(result.out, "Dialog: ");
        ASSERT_EQ(dialogs.size(), 1u) << result.out;
        EXPECT_EQ(dialogs[0].rfind("Dialog: There is not enough space on drive. Please free up at "
                                   "least " + std::to_string(megabytes) + " MB and try again (" +
                                       scenario.tmp.string(),
                                   0),
                  0u)
            << dialogs[0];
        EXPECT_TRUE(Named(events, "PRODUCT_DOWNLOAD_STARTED").empty()) << Describe(events);
        EXPECT_TRUE(Named(events, "BUNDLE_DOWNLOAD_STARTED").empty()) << Describe(events);
        EXPECT_EQ(RequestCount(scenario.Server(), "GET", "/content/packages/large.tar.gz"), 0);
        // The refusal is reported before the user's answer to it.
        const std::vector<std::string> names = EventNames(events);
        EXPECT_TRUE(InOrder(names, {"BUNDLE_EULA_ACCEPTED", "NOT_ENOUGH_DISK_SPACE",
                                    "BUNDLE_INSTALL_CANCELLED"}));
        const std::vector<CollectedEvent> cancelled = Named(events, "BUNDLE_INSTALL_CANCELLED");
        ASSERT_EQ(cancelled.size(), 1u);
        EXPECT_TRUE(ParamsMatch(CallerParams(cancelled[0]),
                                {{"DOWNLOAD_ERROR_COUNT", "0"}, {"INSTALL_ERROR_COUNT", "0"}}));
        EXPECT_FALSE(fs::exists(scenario.home / "Applications" / "LargeApp.app"));
    }
}

// A package that cannot be downloaded: the first failure is retried at once,
// the next three ask the user, the fifth gives up with the no-connection
// dialog.
TEST(DownloadFlow, FailedDownloadsAreRetriedOnceThenAskThenGiveUp)
{
    struct Case {
        std::string answers; // to the retry dialog, in turn
        int batches;         // download attempts
        int dialogs;         // retry dialogs shown
        bool noConnection;
        int exitCode;
        std::string lastEvent;
        Params lastParams;
    } cases[] = {
        {"", 2, 1, false, 5, "", {}},
        {"retry,skip", 3, 2, false, 0, "BUNDLE_INSTALL_FINISHED",
         {{"DOWNLOAD_ERROR_COUNT", "3"}, {"INSTALL_ERROR_COUNT", "0"}}},
        {"retry,retry,retry", 5, 3, true, 5, "BUNDLE_INSTALL_CANCELLED",
         {{"DOWNLOAD_ERROR_COUNT", "5"}, {"INSTALL_ERROR_COUNT", "0"}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE("answers \"" + test.answers + "\"");
        Scenario scenario;
        const std::string missing = "/content/packages/missing.tar.gz";
        InstallerRun run = scenario.Run(scenario.Publish(
            scenario.Config({{"missing", 1, "Missing Package", "", ""}})));
        run.env["ZENTAK_TEST_RETRY_ANSWERS"] = test.answers;
        const ProcessResult result = RunInstaller(run);
        EXPECT_EQ(result.exitCode, test.exitCode) << result.Describe() << "\n" << result.out;

        // Every attempt really asks the server again.
        EXPECT_EQ(RequestCount(scenario.Server(), "GET", missing), test.batches);

        const std::vector<CollectedEvent> events = scenario.Events();
        std::vector<std::string> failures;
        for (const CollectedEvent& event : events) {
            if (event.name == "PRODUCT_DOWNLOAD_ERROR" || event.name == "BUNDLE_DOWNLOAD_ERROR") {
                failures.push_back(event.name);
            }
        }
        std::vector<std::string> expectedFailures;
        for (int i = 0; i < test.batches; ++i) {
            expectedFailures.push_back("PRODUCT_DOWNLOAD_ERROR");
            expectedFailures.push_back("BUNDLE_DOWNLOAD_ERROR");
        }
        EXPECT_EQ(failures, expectedFailures) << Describe(events);

        const std::vector<CollectedEvent> productErrors = Named(events, "PRODUCT_DOWNLOAD_ERROR");
        const std::vector<CollectedEvent> bundleErrors = Named(events, "BUNDLE_DOWNLOAD_ERROR");
        for (size_t i = 0; i < productErrors.size() && i < bundleErrors.size(); ++i) {
            SCOPED_TRACE("attempt " + std::to_string(i + 1));
            EXPECT_TRUE(ParamsMatch(CallerParams(productErrors[i]),
                                    {{"PRODUCT_NAME", "missing"},
                                     {"ERROR_COUNT", std::to_string(i)},
                                     {"TIME_ELAPSED", "<positive>"},
                                     {"AVERAGE_SPEED", "0"},
                                     {"CURL_ERROR", "<nonempty>"}}));
            EXPECT_NE(productErrors[i].Param("CURL_ERROR")->find("404"), std::string::npos)
                << *productErrors[i].Param("CURL_ERROR");
            EXPECT_TRUE(ParamsMatch(CallerParams(bundleErrors[i]),
                                    {{"DOWNLOADED_SIZE", "0"},
                                     {"TOTAL_SIZE", "<decimal>"},
                                     {"ERROR_COUNT", std::to_string(i)},
                                     {"TIME_ELAPSED", "<positive>"},
                                     {"AVERAGE_SPEED", "0"},
                                     {"CURL_ERROR", "<nonempty>"}}));
        }
        // Only the first attempt reports its start.
        EXPECT_EQ(Named(events, "PRODUCT_DOWNLOAD_STARTED").size(), 1u) << Describe(events);
        EXPECT_EQ(Named(events, "BUNDLE_DOWNLOAD_STARTED").size(), 1u) << Describe(events);
        EXPECT_TRUE(Named(events, "PRODUCT_DOWNLOAD_FINISHED").empty());
        EXPECT_TRUE(Named(events, "PRODUCT_INSTALL_STARTED").empty());

        const std::vector<std::string> dialogs = LinesStartingWith(result.out, kRetryDialogStart);
        EXPECT_EQ(dialogs.size(), static_cast<size_t>(test.dialogs)) << result.out;
        for (const std::string& dialog : dialogs) {
            EXPECT_NE(dialog.find("(Missing Package)"), std::string::npos) << dialog;
        }
        EXPECT_EQ(Named(events, "NO_CONNECTION_POPUP_SHOWN").size(), test.noConnection ? 1u : 0u);
        EXPECT_EQ(LinesStartingWith(result.out, kNoConnectionLine).size(),
                  test.noConnection ? 1u : 0u)
            << result.out;
        // How the run ended: right after the last failure.
        const std::vector<std::string> names = EventNames(events);
        std::vector<std::string> tail = {"BUNDLE_DOWNLOAD_ERROR"};
        if (test.noConnection) {
            tail.push_back("NO_CONNECTION_POPUP_SHOWN");
        }
        if (!test.lastEvent.empty()) {
            tail.push_back(test.lastEvent);
        }
        ASSERT_GE(names.size(), tail.size());
        EXPECT_EQ(std::vector<std::string>(names.end() - static_cast<long>(tail.size()), names.end()),
                  tail)
            << Describe(events);
        if (test.lastEvent.empty()) {
            // Cancelled from the retry dialog: the cancel page, nothing more sent.
            EXPECT_TRUE(InOrder(Lines(result.out), {"Page: Progress", "Page: Cancel"})) << result.out;
        } else {
            EXPECT_TRUE(ParamsMatch(CallerParams(Named(events, test.lastEvent).at(0)),
                                    test.lastParams));
        }
        EXPECT_TRUE(RunDirectories(scenario.tmp).empty());
    }
}

// A package whose first download fails is fetched again at once; a package
// of the same batch that was already complete is not.
TEST(DownloadFlow, AnAutomaticRetryFetchesOnlyWhatIsMissing)
{
    Scenario scenario;
    const std::uintmax_t steadySize = scenario.AddPackage("steady", {"SteadyApp", 8 * 1024, 0, ""});
    const std::uintmax_t flakySize = scenario.AddPackage("flaky", {"FlakyApp", 64 * 1024, 0, ""});
    scenario.FailDownloads("flaky", 503, 1);
    const ProcessResult result = RunInstaller(scenario.Run(scenario.Publish(
        scenario.Config({{"steady", 1, "", "", ""}, {"flaky", 2, "", "", ""}}))));
    ASSERT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_TRUE(LinesStartingWith(result.out, kRetryDialogStart).empty()) << result.out;
    EXPECT_TRUE(fs::exists(scenario.InstalledProgram("SteadyApp")));
    EXPECT_TRUE(fs::exists(scenario.InstalledProgram("FlakyApp")));

    const std::vector<CollectedEvent> events = scenario.Events();
    // Whether the steady package was complete when the batch failed is up
    // to the transfers; what follows must agree with it.
    const size_t steadyFailures = Named(events, "PRODUCT_DOWNLOAD_ERROR", "steady").size();
    ASSERT_LE(steadyFailures, 1u) << Describe(events);
    EXPECT_EQ(RequestCount(scenario.Server(), "GET", "/content/packages/steady.tar.gz"),
              1 + static_cast<int>(steadyFailures));
    EXPECT_EQ(RequestCount(scenario.Server(), "GET", "/content/packages/flaky.tar.gz"), 2);

    EXPECT_EQ(Named(events, "PRODUCT_DOWNLOAD_STARTED").size(), 2u) << Describe(events);
    EXPECT_EQ(Named(events, "BUNDLE_DOWNLOAD_STARTED").size(), 1u) << Describe(events);
    const std::vector<CollectedEvent> bundleErrors = Named(events, "BUNDLE_DOWNLOAD_ERROR");
    ASSERT_EQ(bundleErrors.size(), 1u) << Describe(events);
    EXPECT_EQ(bundleErrors[0].Param("ERROR_COUNT"), "0");
    EXPECT_NE(bundleErrors[0].Param("CURL_ERROR").value_or("").find("503"), std::string::npos)
        << bundleErrors[0].Param("CURL_ERROR").value_or("");
    const std::vector<CollectedEvent> flakyErrors = Named(events, "PRODUCT_DOWNLOAD_ERROR", "flaky");
    ASSERT_EQ(flakyErrors.size(), 1u);
    EXPECT_EQ(flakyErrors[0].Param("ERROR_COUNT"), "0");

    const std::pair<std::string, std::string> finished[] = {
        {"steady", std::to_string(steadyFailures)}, {"flaky", "1"}};
    for (const auto& [id, errors] : finished) {
        const std::vector<CollectedEvent> ends = Named(events, "PRODUCT_DOWNLOAD_FINISHED", id);
        ASSERT_EQ(ends.size(), 1u) << id << ": " << Describe(events);
        EXPECT_EQ(ends[0].Param("ERROR_COUNT"), errors) << id;
        const std::vector<CollectedEvent> installs = Named(events, "PRODUCT_INSTALL_STARTED", id);
        ASSERT_EQ(installs.size(), 1u) << id;
        EXPECT_EQ(installs[0].Param("DOWNLOAD_ERROR_COUNT"), errors) << id;
    }
    const std::vector<CollectedEvent> bundle = Named(events, "BUNDLE_DOWNLOAD_FINISHED");
    ASSERT_EQ(bundle.size(), 1u);
    // The second batch holds only what it fetched again.
    EXPECT_EQ(bundle[0].Param("TOTAL_SIZE"),
              std::to_string(flakySize + (steadyFailures ? steadySize : 0)));
    EXPECT_EQ(bundle[0].Param("ERROR_COUNT"), "1");
    const std::vector<CollectedEvent> done = Named(events, "BUNDLE_INSTALL_FINISHED");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_TRUE(ParamsMatch(CallerParams(done[0]),
                            {{"DOWNLOAD_ERROR_COUNT", "1"}, {"INSTALL_ERROR_COUNT", "0"}}));
}

} // namespace
} // namespace Zentak::E2e
