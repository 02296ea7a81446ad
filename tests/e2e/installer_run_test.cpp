// The built program, run as a user would run it, against the development
// server with the example product: what the user sees on the console, what
// lands in HOME, and what the maker's servers receive.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness/dev_server.h"
#include "harness/event_checks.h"
#include "harness/installer_run.h"
#include "harness/temp_dir.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;

// The example product's content and a development server for it, plus a
// HOME and a TMPDIR for the program.
class ExampleSetup {
public:
    ExampleSetup()
    {
        MakeExampleContent(m_temp.Path() / "content");
        m_server = std::make_unique<DevServer>(m_temp.Path() / "content", m_temp.Path() / "state");
    }

    ProcessResult RunUnattended() const
    {
        InstallerRun run;
        run.args = {"--unattended", "--config-url=" + m_server->ConfigUrl()};
        run.home = home;
        run.tmp = tmp;
        run.env["ZENTAK_UID_SERVICE_URL"] = m_server->UidServiceUrl();
        return RunInstaller(run);
    }

    DevServer& Server() { return *m_server; }
    uintmax_t PackageSize(const std::string& id) const
    {
        return fs::file_size(m_server->ContentDir() / "packages" / (id + ".tar.gz"));
    }
    std::vector<std::string> StoredIds() const
    {
        const std::string text = ReadFile(m_server->StateDir() / "uids.json");
        if (text.empty()) {
            return {};
        }
        return nlohmann::json::parse(text).at("ids").get<std::vector<std::string>>();
    }

private:
    TempDir m_temp{"zentak-e2e"};
    std::unique_ptr<DevServer> m_server;

public:
    const fs::path home = m_temp.Sub("home");
    const fs::path tmp = m_temp.Sub("tmp");
};

// Waits, bounded, for a file to hold `text`.
bool WaitForText(const fs::path& file, const std::string& text, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ReadFile(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

fs::path UserPlist(const fs::path& home)
{
    return home / "Library" / "Preferences" / "com.zentak.user.plist";
}

TEST(InstallerStart, WithoutUnattendedAndWithoutDisplayExitsWithOneLine)
{
    TempDir temp("zentak-e2e");
    InstallerRun run;
    run.home = temp.Sub("home");
    run.tmp = temp.Sub("tmp");
    run.timeout = std::chrono::seconds(60);
    const ProcessResult result = RunInstaller(run);

    EXPECT_EQ(result.exitCode, 1) << result.Describe();
    const std::vector<std::string> lines = Lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_NE(lines[0].find("--unattended"), std::string::npos) << lines[0];
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(RunDirectories(run.tmp).empty());
}

// The first half of the mission: configuration, statistics and downloads.
TEST(UnattendedRun, ReachesTheDownloadsAgainstTheExampleProduct)
{
    ExampleSetup setup;
    const ProcessResult result = setup.RunUnattended();
    ::testing::Test::RecordProperty("installer_exit_code", result.exitCode);

    ASSERT_FALSE(result.timedOut) << result.Describe();
    EXPECT_TRUE(result.exitCode == 0 || (result.exitCode >= 3 && result.exitCode <= 7)) << result.Describe();

    // The configuration is echoed as it came.
    const std::string config = ReadFile(setup.Server().ContentDir() / "config.ini");
    ASSERT_FALSE(config.empty());
    EXPECT_NE(result.out.find(config), std::string::npos)
        << "configuration not echoed; standard output:\n" << result.out;

    const std::vector<std::string> lines = Lines(result.out);
    EXPECT_TRUE(InOrder(lines, {"Page: Start", "Page: Progress"}))
        << "standard output:\n" << result.out;
    // The statistics server's reply is no business of the user's console.
    EXPECT_EQ(result.out.find("statistics package accepted"), std::string::npos)
        << "a statistics reply leaked into standard output:\n" << result.out;

    const std::vector<CollectedEvent> events = setup.Server().Events();
    const std::vector<std::string> names = EventNames(events);
    EXPECT_TRUE(InOrder(names, {"CONFIG_DOWNLOAD_STARTED", "CONFIG_DOWNLOAD_COMPLETED",
                                "BUNDLE_INSTALL_STARTED", "PRODUCT_DOWNLOAD_STARTED",
                                "BUNDLE_DOWNLOAD_FINISHED"}));
    EXPECT_TRUE(ChainIsComplete(events));
    for (const CollectedEvent& event : events) {
        std::vector<std::string> common;
        for (const auto& param : event.params) {
            common.push_back(param.first);
        }
        common.resize(std::min(common.size(), CommonParamNames().size()));
        EXPECT_EQ(common, CommonParamNames()) << event.name;
        EXPECT_EQ(event.Param("VERSION"), "1.6.0") << event.name;
        EXPECT_EQ(event.query.at("key"), "demo-key") << event.name;
        EXPECT_EQ(event.query.at("version"), "24.1.0.7") << event.name;
        EXPECT_EQ(event.query.at("tracker"), "1.0.0.0") << event.name;
        EXPECT_TRUE(std::regex_match(event.query.at("cur_time_local"),
                                     std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d")))
            << event.name;
    }

    EXPECT_TRUE(RunDirectories(setup.tmp).empty()) << "run directory left in " << setup.tmp;
}

// The whole mission: both packages installed in install order, the product
// launched, its parameters written, every event of a normal run sent.
TEST(UnattendedRun, NormalRunInstallsAndLaunchesTheProduct)
{
    ExampleSetup setup;
    const ProcessResult result = setup.RunUnattended();
    ASSERT_FALSE(result.timedOut) << result.Describe();
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\nstandard output:\n" << result.out;

    const fs::path applications = setup.home / "Applications";
    for (const std::string& name : {std::string("ReelCodecs"), std::string("ReelMaker")}) {
        const fs::path program = applications / (name + ".app") / "Contents" / "MacOS" / name;
        EXPECT_TRUE(fs::is_regular_file(program)) << program;
        EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none)
            << program;
    }
    std::vector<std::string> leftovers;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(applications, error)) {
        const std::string name = entry.path().filename().string();
        if (name != "ReelCodecs.app" && name != "ReelMaker.app") {
            leftovers.push_back(name);
        }
    }
    EXPECT_TRUE(leftovers.empty()) << "unexpected in Applications: " << Join(leftovers);

    // Launched detached, so its line may come a moment after the exit.
    const fs::path launchLog = setup.home / "zentak-demo-launch.log";
    EXPECT_TRUE(WaitForText(launchLog, "ReelMaker launched ", std::chrono::seconds(10)))
        << "launch log: \"" << ReadFile(launchLog) << "\"";
    EXPECT_EQ(ReadFile(launchLog).find("ReelCodecs"), std::string::npos);

    // Beside the installation folder, in key order.
    EXPECT_EQ(ReadFile(setup.home / "reelmaker.cfg"), "channel=demo\nfirst_run=true\n");
    EXPECT_FALSE(fs::exists(setup.home / "Library" / "Preferences" /
                            "com.zentak.install_env.plist"));
    EXPECT_TRUE(RunDirectories(setup.tmp).empty()) << "run directory left in " << setup.tmp;

    const std::vector<CollectedEvent> events = setup.Server().Events();
    EXPECT_TRUE(ChainIsComplete(events));

    // The events whose order the run fixes, with their own parameters.
    const std::set<std::string> ordered = {
        "WI_NEW_SITEMARK",          "CONFIG_DOWNLOAD_STARTED",  "CONFIG_DOWNLOAD_COMPLETED",
        "BUNDLE_INSTALL_STARTED",   "PRODUCT_DOWNLOAD_STARTED", "BUNDLE_DOWNLOAD_STARTED",
        "PRODUCT_DOWNLOAD_FINISHED", "BUNDLE_DOWNLOAD_FINISHED", "PRODUCT_INSTALL_STARTED",
        "PRODUCT_INSTALL_FINISHED", "PRODUCT_STARTING",         "BUNDLE_INSTALL_FINISHED"};
    std::vector<CollectedEvent> sequence;
    std::copy_if(events.begin(), events.end(), std::back_inserter(sequence),
                 [&](const CollectedEvent& event) { return ordered.count(event.name) > 0; });
    // Packages finish their downloads in any order.
    for (auto run = sequence.begin(); run != sequence.end();) {
        auto end = std::find_if(run, sequence.end(),
                                [&](const CollectedEvent& e) { return e.name != run->name; });
        std::stable_sort(run, end, [](const CollectedEvent& a, const CollectedEvent& b) {
            return a.Param("PRODUCT_NAME") < b.Param("PRODUCT_NAME");
        });
        run = end;
    }
    const std::string codecs = std::to_string(setup.PackageSize("codecs"));
    const std::string reelmaker = std::to_string(setup.PackageSize("reelmaker"));
    const std::string total =
        std::to_string(setup.PackageSize("codecs") + setup.PackageSize("reelmaker"));
    const std::vector<std::pair<std::string, Params>> expected = {
        {"WI_NEW_SITEMARK",
         {{"NOT_VALID_REG_USER_SITEMARK", ""},
          {"NOT_VALID_REG_PRODUCT_SITEMARK", ""},
          {"NOT_VALID_FILE_SITEMARK", ""},
          {"API_SITEMARK", "<id>"},
          {"MERGE_SITEMARK_RESULT", "not attempted"}}},
        {"CONFIG_DOWNLOAD_STARTED", {}},
        {"CONFIG_DOWNLOAD_COMPLETED", {}},
        {"BUNDLE_INSTALL_STARTED", {{"INITIALIZATION_TIME", "<positive>"},
                                    {"PREFERRED_BROWSER", "UNDEFINED"}}},
        {"PRODUCT_DOWNLOAD_STARTED", {{"PRODUCT_NAME", "codecs"}, {"TOTAL_SIZE", "0"}}},
        {"PRODUCT_DOWNLOAD_STARTED", {{"PRODUCT_NAME", "reelmaker"}, {"TOTAL_SIZE", "0"}}},
        {"BUNDLE_DOWNLOAD_STARTED", {{"TOTAL_SIZE", "0"}}},
        {"PRODUCT_DOWNLOAD_FINISHED",
         {{"PRODUCT_NAME", "codecs"}, {"TOTAL_SIZE", codecs}, {"ERROR_COUNT", "0"},
          {"TIME_ELAPSED", "<positive>"}, {"AVERAGE_SPEED", "<decimal>"}}},
        {"PRODUCT_DOWNLOAD_FINISHED",
         {{"PRODUCT_NAME", "reelmaker"}, {"TOTAL_SIZE", reelmaker}, {"ERROR_COUNT", "0"},
          {"TIME_ELAPSED", "<positive>"}, {"AVERAGE_SPEED", "<decimal>"}}},
        {"BUNDLE_DOWNLOAD_FINISHED",
         {{"TOTAL_SIZE", total}, {"ERROR_COUNT", "0"}, {"TIME_ELAPSED", "<positive>"},
          {"AVERAGE_SPEED", "<decimal>"}}},
        {"PRODUCT_INSTALL_STARTED",
         {{"PRODUCT_NAME", "codecs"}, {"INSTALL_ERROR_COUNT", "0"}, {"DOWNLOAD_ERROR_COUNT", "0"}}},
        {"PRODUCT_INSTALL_FINISHED",
         {{"PRODUCT_NAME", "codecs"}, {"DOWNLOAD_ERROR_COUNT", "0"}, {"INSTALL_ERROR_COUNT", "0"}}},
        {"PRODUCT_INSTALL_STARTED",
         {{"PRODUCT_NAME", "reelmaker"}, {"INSTALL_ERROR_COUNT", "0"},
          {"DOWNLOAD_ERROR_COUNT", "0"}}},
        {"PRODUCT_INSTALL_FINISHED",
         {{"PRODUCT_NAME", "reelmaker"}, {"DOWNLOAD_ERROR_COUNT", "0"},
          {"INSTALL_ERROR_COUNT", "0"}}},
        {"PRODUCT_STARTING", {{"PRODUCT_NAME", "reelmaker"}}},
        {"BUNDLE_INSTALL_FINISHED", {{"DOWNLOAD_ERROR_COUNT", "0"}, {"INSTALL_ERROR_COUNT", "0"}}},
    };
    std::vector<std::string> expectedNames;
    for (const auto& entry : expected) {
        expectedNames.push_back(entry.first);
    }
    ASSERT_EQ(EventNames(sequence), expectedNames) << "all events: " << Join(EventNames(events));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(ParamsMatch(CallerParams(sequence[i]), expected[i].second))
            << "event " << i << ": " << sequence[i].name;
    }

    // Once the configuration is read, every event names the product and the
    // web user id of the run.
    const std::string sitemark = sequence.front().Param("API_SITEMARK").value_or("");
    for (auto event = std::find_if(events.begin(), events.end(),
                                   [](const auto& e) { return e.name == "PRODUCT_DOWNLOAD_STARTED"; });
         event != events.end(); ++event) {
        EXPECT_EQ(event->Param("BUILD_NAME"), "demo-build") << event->name;
        EXPECT_EQ(event->Param("MODULE_NAME"), "demo-module") << event->name;
        EXPECT_EQ(event->Param("PRODUCT_VERSION"), "24.1.0.7") << event->name;
        EXPECT_EQ(event->Param("BUNDLE_NAME"), "ReelMaker") << event->name;
        EXPECT_EQ(event->Param("BUNDLE_VERSION"), "24.1.0.7") << event->name;
        EXPECT_EQ(event->Param("SITEMARK"), sitemark) << event->name;
    }

    // Events whose moment depends on other threads: present, and after what
    // causes them.
    const std::vector<std::string> names = EventNames(events);
    EXPECT_TRUE(InOrder(names, {"BUNDLE_INSTALL_STARTED", "IMAGE_DOWNLOAD_STARTED",
                                "IMAGE_DOWNLOAD_COMPLETED"}));
    // The launch's outcome is known before the bundle is reported finished.
    EXPECT_TRUE(InOrder(names, {"PRODUCT_STARTING", "PRODUCT_START_SUCCEEDED",
                                "BUNDLE_INSTALL_FINISHED"}));
    for (const CollectedEvent& event : events) {
        if (event.name.rfind("IMAGE_", 0) == 0) {
            EXPECT_TRUE(ParamsMatch(CallerParams(event), {{"IMAGE_TYPE", "progress"}})) << event.name;
        }
        for (const char* bad : {"FAILED", "ERROR", "CANCELLED", "POPUP", "NOT_ENOUGH"}) {
            EXPECT_EQ(event.name.find(bad), std::string::npos) << "unexpected " << event.name;
        }
    }
}

// A new web user id on the first run, kept in the user plist and validated
// on the next run instead of asking for another.
TEST(UnattendedRun, WebUserIdIsCreatedOnceThenValidated)
{
    ExampleSetup setup;
    const ProcessResult first = setup.RunUnattended();
    ASSERT_FALSE(first.timedOut) << first.Describe();

    const std::vector<CollectedEvent> firstEvents = setup.Server().Events();
    const auto firstSitemark = std::find_if(firstEvents.begin(), firstEvents.end(),
                                            [](const auto& e) { return e.name == "WI_NEW_SITEMARK"; });
    ASSERT_NE(firstSitemark, firstEvents.end()) << Join(EventNames(firstEvents));
    const std::string id = firstSitemark->Param("API_SITEMARK").value_or("");
    EXPECT_EQ(setup.StoredIds(), std::vector<std::string>{id});
    EXPECT_EQ(firstSitemark->Param("SITEMARK"), id);

    const std::string plist = ReadFile(UserPlist(setup.home));
    EXPECT_TRUE(std::regex_search(
        plist, std::regex("<key>SITEMARK</key>\\s*<string>" + id + "</string>")))
        << UserPlist(setup.home) << ":\n" << plist;

    const size_t before = firstEvents.size();
    const ProcessResult second = setup.RunUnattended();
    ASSERT_FALSE(second.timedOut) << second.Describe();
    const std::vector<CollectedEvent> all = setup.Server().Events();
    const auto secondSitemark =
        std::find_if(all.begin() + static_cast<std::ptrdiff_t>(before), all.end(),
                     [](const auto& e) { return e.name == "WI_NEW_SITEMARK"; });
    ASSERT_NE(secondSitemark, all.end());
    EXPECT_TRUE(ParamsMatch(CallerParams(*secondSitemark),
                            {{"REG_USER_SITEMARK", id},
                             {"NOT_VALID_REG_PRODUCT_SITEMARK", ""},
                             {"NOT_VALID_FILE_SITEMARK", ""},
                             {"MERGE_SITEMARK_RESULT", "not attempted"}}));
    EXPECT_EQ(secondSitemark->Param("SITEMARK"), id);
    EXPECT_EQ(setup.StoredIds(), std::vector<std::string>{id}) << "a second id was requested";
    EXPECT_NE(secondSitemark->Param("SID"), firstSitemark->Param("SID"));
}

} // namespace
} // namespace Zentak::E2e
