#include "splash/console_splash.h"

#include <cstdlib>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "utils/settings.h"

namespace Zentak {
namespace {

// The console splash creates the Applications folder under HOME: keep it in
// a folder of the test's own.
class HomeInTempFolder : public ::testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/console-splash-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_home = pattern;
        setenv("HOME", m_home.c_str(), 1);
    }
    void TearDown() override { std::system(("rm -rf '" + m_home + "'").c_str()); }

private:
    std::string m_home;
};

const auto* const g_home = ::testing::AddGlobalTestEnvironment(new HomeInTempFolder);

struct RecordingObserver : ISplashEventObserver {
    std::vector<std::string> events;
    ISplash* splash = nullptr;
    void OnStartButtonPressed() override { events.push_back("start"); }
    void OnReadyButtonPressed() override { events.push_back("ready"); }
    void OnExitButtonPressed() override { events.push_back("exit"); }
    void OnEulaOpenSucceeded() override { events.push_back("eula-open-ok"); }
    void OnEulaOpenFailed() override { events.push_back("eula-open-failed"); }
    void OnEulaShown() override { events.push_back("eula-shown"); }
    void OnEulaHidden() override { events.push_back("eula-hidden"); }
    void OnSkipPressed() override { events.push_back("skip"); }
    void OnRetryPressed() override { events.push_back("retry"); }
    void OnCancelPressed() override
    {
        events.push_back("cancel");
        // The controller answers a cancel with a page change: from inside a
        // dialog this must not wait for the loop it runs on.
        splash->SetPage(ISplash::Cancel);
    }
    void OnSelectInstallFolderPressed() override { events.push_back("folder"); }
    void OnConsentCheckboxStateChanged(bool state) override
    {
        events.push_back(state ? "consent-yes" : "consent-no");
    }
};

TEST(ConsoleSplashTest, MissingSpaceIsWholeMegabytesAndAtLeastOne)
{
    struct Case {
        uint64_t required;
        uint64_t available;
        int64_t shown;
    } cases[] = {
        {3'500'000, 2'000'000, 1}, {10'000'000, 1'000, 9}, {1'000, 5'000'000, 1},
        {2'000'000'000, 0, 2000},  {2'999'999, 0, 2},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(MissingSpaceMegabytes(test.required, test.available), test.shown)
            << test.required << " " << test.available;
    }
}

TEST(ConsoleSplashTest, ImageTypesByFirstBytes)
{
    EXPECT_STREQ(ImageTypeName(std::string("\x89PNG\r\n\x1a\n....", 12)), "PNG");
    EXPECT_STREQ(ImageTypeName("\xff\xd8\xff\xe0rest"), "JPEG");
    EXPECT_STREQ(ImageTypeName("GIF89a..."), "GIF");
    EXPECT_STREQ(ImageTypeName("<html>not a picture"), "unknown");
    EXPECT_STREQ(ImageTypeName(""), "unknown");
}

// The logic thread drives the splash while the loop runs on this thread;
// every call is performed in order and answered for the absent user.
TEST(ConsoleSplashTest, PerformsCallsInOrderAndAnswersForTheUser)
{
    Settings::Set(Settings::ID::ProductVersion, std::string("2.4.1"));
    Settings::Set(Settings::ID::ProductDisplayName, std::string("Zentak Reel Maker"));
    std::ostringstream out;
    RecordingObserver observer;
    ConsoleSplash splash(observer, out);
    observer.splash = &splash;
    EXPECT_EQ(Settings::CurrentLocale().empty(), false);

    std::thread logic([&] {
        splash.SetPage(ISplash::Start);
        splash.UpdateInstallerInfo();
        splash.UpdateInstallerInfo(); // presses install only once
        splash.SetPage(ISplash::Progress);
        for (int value : {0, 0, 1, 1, 2, 50, 100}) {
            splash.UpdateProgress(value);
        }
        splash.SetProgressImage(ISplash::Progress, std::string("\x89PNG\r\n\x1a\nxxxx", 12));
        splash.ShowRetryDialog("Reel Codecs", ProcessOutcome::Error);
        splash.ShowNotEnoughDiskSpaceDialog("/tmp", 10'000'000, 1'000);
        splash.ShowNoConnectionError();
        splash.ShowNoConnectionError(); // shown once only
        splash.Close();
    });
    splash.RunSplash();
    logic.join();

    EXPECT_EQ(observer.events,
              (std::vector<std::string>{"consent-yes", "start", "cancel", "exit", "exit",
                                        "exit"}));
    const std::string text = out.str();
    for (const char* expected :
         {"Page: Start\n", "Zentak Reel Maker", "Version 2.4.1", "Page: Progress\n",
          "Progress: 0 %\nProgress: 1 %\nProgress: 2 %\nProgress: 50 %\n",
          "Copying files, please wait", "Picture for page Progress: 12 bytes, PNG\n",
          "Page: Cancel\n", "(Reel Codecs)", "Please free up at least 9 MB",
          "You need to be connected to the Internet"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
    }
    EXPECT_EQ(text.find("You need to be connected"), text.rfind("You need to be connected"));
}

// A managed install reads one JSON object per line and nothing else.
TEST(ConsoleSplashTest, JsonModePrintsOneObjectPerLine)
{
    std::ostringstream out;
    RecordingObserver observer;
    ConsoleSplash splash(observer, out, true);
    observer.splash = &splash;
    std::thread logic([&] {
        splash.SetPage(ISplash::Progress);
        splash.UpdateProgress(50);
        splash.ShowInstallStep(1, 2, "Reel \"Codecs\"\n");
        splash.ShowRetryDialog("Reel Codecs", ProcessOutcome::Error);
        splash.Close();
    });
    splash.RunSplash();
    logic.join();

    std::istringstream lines(out.str());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_EQ(line.rfind("{\"event\":\"", 0), 0u) << line;
        EXPECT_EQ(line.back(), '}') << line;
    }
    EXPECT_EQ(count, 6) << out.str();
    const std::string text = out.str();
    for (const char* expected :
         {"{\"event\":\"page\",\"page\":\"Progress\"}\n", "{\"event\":\"progress\",\"percent\":50}\n",
          "{\"event\":\"package\",\"state\":\"installing\",\"number\":1,\"count\":2,"
          "\"name\":\"Reel \\\"Codecs\\\"\\n\"}\n",
          "{\"event\":\"dialog\",\"text\":\"", "(Reel Codecs)\",\"answer\":\"Cancel\"}\n"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
    }
}

TEST(ConsoleSplashTest, CallsAfterTheLoopEndedDoNotHang)
{
    std::ostringstream out;
    RecordingObserver observer;
    ConsoleSplash splash(observer, out);
    observer.splash = &splash;
    std::thread closer([&] { splash.Close(); });
    splash.RunSplash();
    closer.join();
    splash.SetPage(ISplash::Wait);
    EXPECT_NE(out.str().find("Page: Wait"), std::string::npos);
}

} // namespace
} // namespace Zentak
