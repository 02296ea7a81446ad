// The built program with its window on a virtual display, driven with the
// mouse the way a person would, against the development server: what the
// person sees (screenshots kept under the build folder, checked for what a
// program can check) and what the maker's servers receive.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop.h"
#include "harness/installer_run.h"
#include "harness/temp_dir.h"
#include "support/loopback_socket.h"
#include "support/test_server.h"
#include "localization/translater.h"
#include "window_session.h"

namespace Zentak::WindowTest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Test::ClosedLoopbackPort;

constexpr auto kWindowLimit = 60s;
constexpr auto kReadyLimit = 60s;
constexpr auto kEventLimit = 30s;
constexpr auto kDialogLimit = 60s;
constexpr auto kRunLimit = 180s;

// Where the start page puts its controls (page coordinates, origin at the
// bottom left of the 640 x 440 page).
constexpr Rect kInstallButton{270, 132, 100, 34};
constexpr Rect kSpinnerArea{180, 200, 280, 30};
// The left part of the language selector, clear of the spinner's place.
constexpr Rect kLanguageSelector{240, 200, 55, 30};
constexpr int kConsentRowY = 46;
// The list GNUstep opens under the language selector: its arrow button, and
// the first item (Deutsch, the first locale of the table).
constexpr int kSelectorArrowX = 391;
constexpr int kSelectorArrowY = 222;
constexpr int kFirstListItemX = 285;
constexpr int kFirstListItemY = 188;
// Left of the install button, under the selector: plain page until the list opens.
constexpr Rect kLanguageList{240, 170, 28, 25};
// The licence page: its text and its two buttons.
constexpr Rect kLicenceText{48, 100, 540, 300};
constexpr int kBackButtonX = 370;
constexpr int kAcceptButtonX = 269;
constexpr int kLicenceButtonY = 47;
// The install page: the picture, and the percentage right of the bar.
constexpr Rect kPicture{34, 90, 572, 316};
constexpr Rect kPercentText{536, 24, 80, 18};
constexpr Rect kStatusText{24, 24, 400, 18};

// Screenshot names are numbered so that the folder reads in order.
class Shots {
public:
    explicit Shots(const WindowSession& session) : m_session(session) {}
    Image Take(const std::string& name)
    {
        char prefix[8];
        std::snprintf(prefix, sizeof prefix, "%02d-", ++m_number);
        return m_session.Screen().Capture(prefix + name);
    }

private:
    const WindowSession& m_session;
    int m_number = 0;
};

// A rectangle of the page, on the screen.
Rect OnScreen(const WindowSession& session, const Rect& page)
{
    return session.PageRect(page.x, page.y, page.width, page.height);
}

bool Shows(const Image& image, const WindowSession& session, const Rect& page, size_t colours = 2)
{
    return image.Colours(OnScreen(session, page)) >= colours;
}

// The consent checkbox: its white left bevel edge is the first white pixel
// on its row (the box and its text are centred together, so where the box
// is depends on the text's width).
std::optional<int> ConsentBoxX(const Image& image, const WindowSession& session)
{
    const Rect row = session.PageRect(120, kConsentRowY, 200, 1);
    for (int x = row.x; x < row.x + row.width; ++x) {
        if (image.Pixel(x, row.y) == 0xFFFFFF) {
            return x - session.Content().x;
        }
    }
    return std::nullopt;
}

::testing::AssertionResult WindowHasContentSize(const WindowSession& session)
{
    const Rect frame = session.Frame();
    if (frame.width == kContentWidth + 2 * kFrameBorder &&
        frame.height == kContentHeight + kTitleBarHeight + kFrameBorder) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "window frame " << frame.width << " x " << frame.height
                                         << ", expected a 640 x 440 content";
}

::testing::AssertionResult NotBlank(const Image& image, const Rect& area)
{
    const size_t colours = image.Colours(area);
    if (colours >= 8) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "only " << colours << " colours on the screenshot";
}

std::string Text(TranslaterText key, const std::string& locale)
{
    return Translater::GetLocalizedText(key, locale);
}

// Ticks the consent box once the start page is ready, and waits until the
// collector has the answer.
::testing::AssertionResult TickConsent(WindowSession& session, Shots& shots, size_t times = 1)
{
    const Image ready = shots.Take("consent-before");
    const std::optional<int> box = ConsentBoxX(ready, session);
    if (!box) {
        return ::testing::AssertionFailure() << "no consent checkbox found";
    }
    // One click, as a person makes it; the tick is what they see.
    const Rect boxArea = session.PageRect(*box + 2, kConsentRowY - 5, 12, 10);
    session.ClickPage(*box + 7, kConsentRowY);
    if (!WaitFor([&] { return !session.Screen().Capture("waiting").SameArea(ready, boxArea); },
                 10s, 250ms)) {
        return ::testing::AssertionFailure() << "the consent box did not change";
    }
    if (!session.WaitForEvent("BUNDLE_EULA_ACCEPTED", kEventLimit, "ACCEPTANCE_RESULT", "YES",
                              times)) {
        return ::testing::AssertionFailure() << "no BUNDLE_EULA_ACCEPTED YES";
    }
    return ::testing::AssertionSuccess();
}

// Presses the arrow of the language selector. GNUstep opens its list with a
// pointer grab that a screenshot taken in the same moment (ImageMagick grabs
// the server) can make fail, so the list is given a moment before anything
// looks at it.
void OpenLanguageList(const WindowSession& session)
{
    session.ClickPage(kSelectorArrowX, kSelectorArrowY);
    std::this_thread::sleep_for(1s);
}

// Waits until the start page shows its controls (the screenshots taken while
// waiting overwrite each other), then keeps one of the ready page.
bool WaitForReadyPage(WindowSession& session, Shots& shots, const std::string& name)
{
    const bool ready = WaitFor(
        [&] { return Shows(session.Screen().Capture("waiting"), session, kInstallButton); },
        kReadyLimit, 500ms);
    shots.Take(name);
    return ready;
}

// Opens the language list and waits until it is on the screen.
bool LanguageListOpens(WindowSession& session, Shots& shots)
{
    // One click, as a person makes it.
    OpenLanguageList(session);
    const bool open = WaitFor(
        [&] { return Shows(session.Screen().Capture("waiting"), session, kLanguageList, 3); },
        10s, 500ms);
    shots.Take("language-list");
    return open;
}

// A configuration with one package that downloads but whose installation
// always fails: its archive is not an archive.
void MakeBrokenPackageContent(const fs::path& content)
{
    E2e::MakeExampleContent(content);
    {
        std::ofstream broken(content / "packages" / "broken.tar.gz", std::ios::binary);
        for (int i = 0; i < 4096; ++i) {
            broken << "not an archive ";
        }
    }
    std::ofstream config(content / "config.ini.in");
    config << "[Product]\nversion = 24.1.0.7\nbuild_name = demo-build\nmodule_name = demo-module\n\n"
              "[Installer]\nid = broken\nurl = @BASE_URL@/content/packages/broken.tar.gz\n"
              "display_name = Zentak Broken Codecs\ninstall_order = 1\n\n"
              "[Splash]\nprogress = @BASE_URL@/content/images/progress.png\n\n"
              "[Statistics]\nurl = @BASE_URL@/stats\nid = demo-key\n\n"
              "[Mac_Environment]\nbundle_name = Broken\nbundle_version = 1.0\n";
}

// Waits for the program to end, which it must with exit code 0; when it
// does not end, keeps a screenshot and says what the program and the
// collector had so far. False when it did not end.
bool WaitForEnd(WindowSession& session, const std::string& what)
{
    const std::optional<E2e::ProcessResult> result = session.WaitForExit(kRunLimit);
    if (!result) {
        session.Screen().Capture("not-ended");
        ADD_FAILURE() << "the program did not end " << what << "; " << session.EventNames()
                      << "; dialogs on screen: " << session.Dialogs().size() << "\n"
                      << session.ProgramErrors();
        return false;
    }
    EXPECT_EQ(result->exitCode, 0) << result->Describe();
    return true;
}

// Waits for the window and then for its start page to be ready.
void WaitForStartPage(WindowSession& session, Shots& shots)
{
    ASSERT_TRUE(session.WaitForWindow(kWindowLimit)) << session.ProgramErrors();
    ASSERT_TRUE(WaitForReadyPage(session, shots, "start-ready")) << session.ProgramErrors();
}

void ClickInstallButton(const WindowSession& session)
{
    session.ClickPage(kInstallButton.x + kInstallButton.width / 2,
                      kInstallButton.y + kInstallButton.height / 2);
}

// Waits for the one dialog and presses its button `index` of `count` (see
// WindowSession::PressDialogButton, which takes the screenshot `shot`);
// `missing` says which dialog did not come.
::testing::AssertionResult AnswerDialog(const WindowSession& session, int index, int count,
                                        const std::string& shot, const std::string& missing)
{
    const std::optional<std::string> dialog = session.WaitForDialog(kDialogLimit);
    if (!dialog) {
        return ::testing::AssertionFailure() << missing;
    }
    if (!session.PressDialogButton(*dialog, index, count, shot)) {
        return ::testing::AssertionFailure() << "the dialog does not have " << count << " buttons";
    }
    return ::testing::AssertionSuccess();
}

// After "Continue" in a close confirmation: the dialog goes and the run goes
// on, not cancelled.
void ExpectRunGoesOn(const WindowSession& session)
{
    EXPECT_TRUE(WaitFor([&] { return session.Dialogs().empty(); }, 10s));
    EXPECT_TRUE(session.Running());
    EXPECT_EQ(session.CountEvents("BUNDLE_INSTALL_CANCELLED"), 0u);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HasProgram("Xvfb")) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
        for (const char* tool : {"xdotool", "import", "convert"}) {
            ASSERT_TRUE(HasProgram(tool)) << tool << " is needed by the window tests";
        }
    }

    static std::string TestName()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string(info->test_suite_name()) + "." + info->name();
    }
};

// Loading, then ready; consent; the licence and back; another language; the
// close button with "Continue", then with "Yes".
TEST_F(WindowTest, StartPageLicenceLanguageAndClosing)
{
    // The configuration is held back until the loading page has been seen,
    // however long the window takes to appear on a busy machine. (Held well
    // under the program's 15 s low-speed limit.)
    std::promise<void> loadingSeen;
    std::shared_future<void> released = loadingSeen.get_future().share();
    std::string configuration;
    Zentak::Test::TestServer gate;
    gate.Expect("GET", "/config.ini",
                Zentak::Test::Reply::Custom([&configuration, released](const httplib::Request&,
                                                               httplib::Response& response) {
                    released.wait_for(12s);
                    response.set_content(configuration, "text/plain");
                }),
                Zentak::Test::Times::Any());
    SessionOptions options;
    options.programArgs = std::vector<std::string>{"--config-url=" + gate.Url("/config.ini")};
    WindowSession session(TestName(), options);
    Shots shots(session);
    configuration = E2e::ReadFile(session.Server().ContentDir() / "config.ini");

    ASSERT_TRUE(session.WaitForWindow(kWindowLimit)) << session.ProgramErrors();
    EXPECT_TRUE(WindowHasContentSize(session));
    EXPECT_EQ(session.Title(), Text(TranslaterText::WindowTitle, "en-US"));

    const Image loading = shots.Take("start-loading");
    loadingSeen.set_value();
    EXPECT_TRUE(NotBlank(loading, session.Content()));
    EXPECT_TRUE(Shows(loading, session, kSpinnerArea)) << "no spinner while loading";
    EXPECT_FALSE(Shows(loading, session, kInstallButton)) << "install button shown while loading";
    EXPECT_FALSE(Shows(loading, session, kLanguageSelector)) << "selector shown while loading";

    ASSERT_TRUE(WaitForReadyPage(session, shots, "start-ready")) << session.ProgramErrors();
    const Image ready = session.Screen().Capture("waiting");
    EXPECT_TRUE(Shows(ready, session, kLanguageSelector));
    EXPECT_FALSE(ready.SameArea(loading, OnScreen(session, kSpinnerArea)))
        << "the spinner's place did not change";

    ASSERT_TRUE(TickConsent(session, shots));
    const Image ticked = shots.Take("start-consent-ticked");
    EXPECT_FALSE(ticked.SameArea(ready, OnScreen(session, kInstallButton)))
        << "the install button did not change when consent was given";

    // The licence link, then back.
    const std::optional<int> box = ConsentBoxX(ticked, session);
    ASSERT_TRUE(box);
    session.ClickPage(*box + 40, kConsentRowY);
    ASSERT_TRUE(session.WaitForEvent("BUNDLE_EULA_SHOWN", kEventLimit));
    const Image licence = shots.Take("licence-page");
    EXPECT_TRUE(Shows(licence, session, kLicenceText, 8)) << "no licence text";
    session.ClickPage(kBackButtonX, kLicenceButtonY);
    ASSERT_TRUE(session.WaitForEvent("BUNDLE_EULA_HIDDEN", kEventLimit));
    // The licence text covers the places of the start page's controls, so
    // "something is drawn there" cannot tell the pages apart: the start page
    // is back when its selector and button look as they did before.
    EXPECT_TRUE(WaitFor(
        [&] {
            const Image now = session.Screen().Capture("waiting");
            return now.SameArea(ticked, OnScreen(session, kLanguageSelector)) &&
                   now.SameArea(ticked, OnScreen(session, kInstallButton));
        },
        10s, 200ms))
        << "the start page did not come back";
    shots.Take("start-after-licence");

    // Another language relabels the window.
    EXPECT_TRUE(LanguageListOpens(session, shots)) << "the language list did not open";
    session.ClickPage(kFirstListItemX, kFirstListItemY);
    const std::string german = Text(TranslaterText::WindowTitle, "de-DE");
    EXPECT_TRUE(WaitFor([&] { return session.Title() == german; }, 10s)) << session.Title();
    const Image relabelled = shots.Take("start-deutsch");
    EXPECT_FALSE(relabelled.SameArea(ticked, OnScreen(session, kInstallButton)))
        << "the install button kept its English title";
    EXPECT_FALSE(relabelled.SameArea(ticked, session.PageRect(238, 240, 164, 18)))
        << "the language label kept its English text";

    // Close, then "Continue": nothing happens.
    session.ClickCloseButton();
    ASSERT_TRUE(AnswerDialog(session, 0, 2, "close-confirmation", "no close confirmation"));
    ExpectRunGoesOn(session);

    // Close, then "Yes": the run ends as cancelled.
    session.ClickCloseButton();
    ASSERT_TRUE(AnswerDialog(session, 1, 2, "close-confirmation-again",
                             "no close confirmation the second time"));
    ASSERT_TRUE(WaitForEnd(session, "after Yes"));
    EXPECT_TRUE(session.WaitForEvent("BUNDLE_INSTALL_CANCELLED", kEventLimit));
    EXPECT_EQ(session.CountEvents("BUNDLE_INSTALL_FINISHED"), 0u);
}

// Presses the application's Quit key: Command-Q, which GNUstep reads from
// the left Alt key. The window gets the keyboard from a click on an empty
// part of its page first.
void PressQuitKey(WindowSession& session)
{
    session.ClickPage(12, 428);
    const E2e::ProcessResult result =
        E2e::RunProcess({"xdotool", "key", "--delay", "100", "alt+q"},
                        {{"DISPLAY", session.Screen().Display()}}, 30s);
    ASSERT_EQ(result.exitCode, 0) << result.Describe();
}

// Quit from the menu asks what the close button asks; "Continue" keeps the
// run, "Yes" ends it through the logic (the cancellation is reported and
// the program ends normally) rather than by the toolkit's own exit.
TEST_F(WindowTest, QuitAsksLikeTheCloseButton)
{
    WindowSession session(TestName());
    Shots shots(session);
    ASSERT_NO_FATAL_FAILURE(WaitForStartPage(session, shots));

    PressQuitKey(session);
    ASSERT_TRUE(AnswerDialog(session, 0, 2, "quit-confirmation", "no confirmation after Quit"));
    ExpectRunGoesOn(session);

    PressQuitKey(session);
    ASSERT_TRUE(AnswerDialog(session, 1, 2, "quit-confirmation-again",
                             "no confirmation after the second Quit"));
    ASSERT_TRUE(WaitForEnd(session, "after Quit and Yes"));
    EXPECT_TRUE(session.WaitForEvent("BUNDLE_INSTALL_CANCELLED", kEventLimit));
}

// When the system ends the session (log out, restart, shut down) its quit
// asks nothing: the run ends at once, through the logic and in order. No
// system sends GNUstep such a quit; the test build is told this one is.
TEST_F(WindowTest, QuitAtTheEndOfTheSessionEndsTheRunWithoutAsking)
{
    SessionOptions options;
    options.env["ZENTAK_TEST_QUIT_ENDS_SESSION"] = "1";
    WindowSession session(TestName(), options);
    Shots shots(session);
    ASSERT_NO_FATAL_FAILURE(WaitForStartPage(session, shots));

    PressQuitKey(session);
    ASSERT_TRUE(WaitForEnd(session, "after Quit at the end of the session"));
    EXPECT_TRUE(session.WaitForEvent("BUNDLE_INSTALL_CANCELLED", kEventLimit));
}

// German, consent, install: the progress page with the picture and
// percentages, then the product installed and started, in German.
TEST_F(WindowTest, InstallShowsProgressAndInstallsTheProduct)
{
    SessionOptions options;
    // Slow enough to watch the percentages move.
    options.serverArgs = {"--content-rate", "96"};
    WindowSession session(TestName(), options);
    Shots shots(session);

    ASSERT_NO_FATAL_FAILURE(WaitForStartPage(session, shots));
    ASSERT_TRUE(LanguageListOpens(session, shots)) << "the language list did not open";
    session.ClickPage(kFirstListItemX, kFirstListItemY);
    ASSERT_TRUE(WaitFor([&] { return session.Title() == Text(TranslaterText::WindowTitle, "de-DE"); },
                        10s));
    ASSERT_TRUE(TickConsent(session, shots));
    ClickInstallButton(session);

    // The progress page: the configured picture, and the percentage moving.
    std::vector<Image> progress;
    bool installationDisplay = false;
    WaitFor(
        [&] {
            if (!session.Running()) {
                return true;
            }
            const Image shot = shots.Take("progress");
            if (!Shows(shot, session, kPicture, 50)) {
                return false;
            }
            if (Shows(shot, session, kPercentText)) {
                if (progress.empty() ||
                    !progress.back().SameArea(shot, OnScreen(session, kPercentText))) {
                    progress.push_back(shot);
                }
            } else {
                installationDisplay = true;
            }
            return installationDisplay;
        },
        kRunLimit, 300ms);
    EXPECT_GE(progress.size(), 2u) << "the percentage beside the download bar did not move";
    EXPECT_TRUE(session.WaitForEvent("BUNDLE_DOWNLOAD_FINISHED", kEventLimit));

    ASSERT_TRUE(WaitForEnd(session, "by itself"));
    EXPECT_TRUE(session.WaitForEvent("BUNDLE_INSTALL_FINISHED", kEventLimit));
    EXPECT_TRUE(session.WaitForEvent("PRODUCT_START_SUCCEEDED", kEventLimit, "PRODUCT_NAME",
                                     "reelmaker"));
    EXPECT_TRUE(fs::exists(session.Home() / "Applications" / "ReelMaker.app"));
    EXPECT_TRUE(fs::exists(session.Home() / "Applications" / "ReelCodecs.app"));
    // The language chosen in the window is handed to the products.
    const std::string plist =
        E2e::ReadFile(session.Home() / "Library" / "Preferences" / "reelmaker.plist");
    EXPECT_NE(plist.find("<string>de_DE</string>"), std::string::npos) << plist;
}

// A package that never installs: after the automatic retries the retry
// dialog; each of its buttons does what it says.
TEST_F(WindowTest, RetryDialogTryAgainSkipAndCancel)
{
    struct Case {
        const char* name;
        int button; // in the dialog's order: Try Again, Skip, Cancel
    };
    for (const Case& answer : {Case{"try-again", 0}, Case{"skip", 1}, Case{"cancel", 2}}) {
        SCOPED_TRACE(answer.name);
        SessionOptions options;
        options.makeContent = MakeBrokenPackageContent;
        WindowSession session(TestName() + "." + answer.name, options);
        Shots shots(session);

        ASSERT_NO_FATAL_FAILURE(WaitForStartPage(session, shots));
        ASSERT_TRUE(TickConsent(session, shots));
        ClickInstallButton(session);

        // Four automatic retries, then the dialog on the fifth failure.
        const std::optional<std::string> dialog = session.WaitForDialog(kDialogLimit);
        if (!dialog) {
            shots.Take("no-retry-dialog");
        }
        ASSERT_TRUE(dialog) << "no retry dialog; " << session.EventNames() << "\n"
                            << session.ProgramErrors();
        EXPECT_TRUE(session.WaitForEvent("PRODUCT_INSTALL_FAILED", kEventLimit, "PRODUCT_NAME",
                                         "broken", 5));
        const Image behind = shots.Take("retry-dialog");
        EXPECT_TRUE(NotBlank(behind, session.Screen().Geometry(*dialog)));
        // Behind it, the installation display: the picture without percentage.
        EXPECT_TRUE(Shows(behind, session, kStatusText));
        EXPECT_FALSE(Shows(behind, session, kPercentText));
        ASSERT_TRUE(session.PressDialogButton(*dialog, answer.button, 3, "retry-dialog-buttons"));

        if (answer.button == 0) {
            // Try again: the installer runs once more, fails, and asks again.
            ASSERT_TRUE(session.WaitForEvent("PRODUCT_INSTALL_FAILED", kEventLimit, "PRODUCT_NAME",
                                             "broken", 6));
            ASSERT_TRUE(AnswerDialog(session, 2, 3, "retry-dialog-again",
                                     "no retry dialog after trying again"));
        }
        ASSERT_TRUE(WaitForEnd(session, "by itself"));
        // Skip leaves nothing to install: the bundle is done. Cancel ends it.
        EXPECT_EQ(session.CountEvents("BUNDLE_INSTALL_FINISHED"), answer.button == 1 ? 1u : 0u);
        EXPECT_EQ(session.CountEvents("PRODUCT_INSTALL_STARTED", "PRODUCT_NAME", "broken"),
                  answer.button == 0 ? 6u : 5u);
    }
}

// Free space below five times the packages: the disk-space dialog; Try Again
// checks again and asks again, Cancel ends the run.
TEST_F(WindowTest, DiskSpaceDialogTryAgainThenCancel)
{
    SessionOptions options;
    options.env["ZENTAK_TEST_FREE_SPACE"] = "1000";
    WindowSession session(TestName(), options);
    Shots shots(session);

    ASSERT_NO_FATAL_FAILURE(WaitForStartPage(session, shots));
    ASSERT_TRUE(TickConsent(session, shots));
    ClickInstallButton(session);

    const std::optional<std::string> dialog = session.WaitForDialog(kDialogLimit);
    ASSERT_TRUE(dialog) << "no disk-space dialog; " << session.ProgramErrors();
    ASSERT_TRUE(session.WaitForEvent("NOT_ENOUGH_DISK_SPACE", kEventLimit, "AVAILABLE_BYTES", "1000"));
    EXPECT_TRUE(NotBlank(session.Screen().Capture("disk-space-dialog"),
                         session.Screen().Geometry(*dialog)));
    // Buttons: Cancel, Try Again.
    ASSERT_TRUE(session.PressDialogButton(*dialog, 1, 2, "disk-space-dialog-buttons"));
    ASSERT_TRUE(session.WaitForEvent("NOT_ENOUGH_DISK_SPACE", kEventLimit, "AVAILABLE_BYTES",
                                     "1000", 2));
    ASSERT_TRUE(AnswerDialog(session, 0, 2, "disk-space-dialog-again",
                             "no disk-space dialog after trying again"));

    ASSERT_TRUE(WaitForEnd(session, "after Cancel"));
    EXPECT_TRUE(session.WaitForEvent("BUNDLE_INSTALL_CANCELLED", kEventLimit));
    EXPECT_EQ(session.CountEvents("PRODUCT_DOWNLOAD_STARTED"), 0u);
}

// No configuration can be fetched: the no-connection dialog; its button ends
// the run.
TEST_F(WindowTest, NoConnectionDialogEndsTheRun)
{
    SessionOptions options;
    options.programArgs = std::vector<std::string>{
        "--config-url=http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/content/config.ini"};
    WindowSession session(TestName(), options);

    ASSERT_TRUE(session.WaitForWindow(kWindowLimit)) << session.ProgramErrors();
    const std::optional<std::string> dialog = session.WaitForDialog(kDialogLimit);
    ASSERT_TRUE(dialog) << "no no-connection dialog; " << session.ProgramErrors();
    EXPECT_TRUE(NotBlank(session.Screen().Capture("no-connection-dialog"),
                         session.Screen().Geometry(*dialog)));
    EXPECT_TRUE(session.Running());
    ASSERT_TRUE(session.PressDialogButton(*dialog, 0, 1, "no-connection-dialog-button"));

    ASSERT_TRUE(WaitForEnd(session, "after OK"));
    EXPECT_TRUE(fs::is_empty(session.Home() / "Applications") ||
                !fs::exists(session.Home() / "Applications"));
}

// A display that is named but cannot be opened is no display: one line, and
// the program ends with 1 before it starts anything.
TEST(WindowStart, DisplayThatCannotBeOpenedExitsWithOneLine)
{
    int number = 4242;
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(number))) {
        ++number;
    }
    E2e::TempDir temp("zentak-window");
    E2e::InstallerRun run;
    run.home = temp.Sub("home");
    run.tmp = temp.Sub("tmp");
    run.env["DISPLAY"] = ":" + std::to_string(number);
    run.timeout = 60s;
    const E2e::ProcessResult result = E2e::RunInstaller(run);

    EXPECT_EQ(result.exitCode, 1) << result.Describe();
    const std::vector<std::string> lines = E2e::Lines(result.err);
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_NE(lines[0].find("cannot open display \":" + std::to_string(number) + "\""),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("--unattended"), std::string::npos) << lines[0];
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(E2e::RunDirectories(run.tmp).empty());
}

} // namespace
} // namespace Zentak::WindowTest
