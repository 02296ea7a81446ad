#include "utils/platform/process_executor.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <any>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include <boost/filesystem.hpp>
#include <glog/logging.h>
#include <gtest/gtest.h>

#include "external/plist.h"
#include "support/posix_compat.h"
#include "support/test_environment.h"
#include "support/wait_for.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

namespace fs = boost::filesystem;
using Mode = IProcessExecutorObserver::Mode;
using State = IProcessExecutorObserver::ProcessState;
using Clock = std::chrono::steady_clock;

// The launcher of these tests records its arguments, then runs the
// "package" itself as a shell script, so each case scripts its child.
constexpr const char* kLauncher = R"(#!/bin/sh
printf '%s\n' "$0" "$@" > "$(dirname "$0")/arguments.txt"
if [ -f "$2" ]; then exec /bin/sh "$2"; fi
exec sleep 30
)";

struct Recorder : IProcessExecutorObserver {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> started;
    std::vector<std::pair<std::string, ProcessState>> finished;
    std::vector<std::string> causes;

    void OnProcessStarted(Mode mode, const std::string& name) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        started.push_back(std::to_string(mode) + " " + name);
        changed.notify_all();
    }
    void OnProcessFinished(Mode, const std::string& name, ProcessState state,
                           const std::string& cause) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished.emplace_back(name, state);
        causes.push_back(cause);
    }
    size_t StartedCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return started.size();
    }
};

// Keeps the lines the executor logs.
class LogCapture : public google::LogSink {
public:
    LogCapture() { google::AddLogSink(this); }
    ~LogCapture() override { google::RemoveLogSink(this); }
    // The overload every glog release calls (newer ones have no other).
    using google::LogSink::send;
    void send(google::LogSeverity, const char*, const char*, int, const google::LogMessageTime&,
              const char* message, size_t length) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_text.append(message, length).append("\n");
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }

private:
    std::mutex m_mutex;
    std::string m_text;
};

// Whether a child of this process has ended without being reaped (it is
// reaped now, so one leftover is reported once).
bool UnreapedChildEnded()
{
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) > 0;
}

class ProcessExecutorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = fs::temp_directory_path() / fs::unique_path("executor-test-%%%%%%%%");
        fs::create_directories(m_root / "Resources/resources/scripts");
        fs::create_directories(m_root / "home");
        fs::create_directories(m_root / "packages");
        WriteFile(m_root / "Resources/resources/scripts/adminRightsLauncher.sh", kLauncher);
        WriteFile(m_root / "Resources/resources/scripts/install.sh", "exit 99\n");
        Util::SetResourcesPathForTesting(m_root / "Resources");
        setenv("HOME", (m_root / "home").c_str(), 1);
        Settings::Unset(Settings::ID::ConfigFile);
        Settings::Unset(Settings::ID::InstallDir);
        unsetenv("ZENTAK_TEST_PROCESS_TIME_LIMIT_SECONDS");
        unsetenv("ZENTAK_APPLICATIONS_DIR");
        // The shell launcher above, on macOS too (instead of osascript).
        setenv("ZENTAK_TEST_LAUNCHER_SHELL", "/bin/sh", 1);
    }

    void TearDown() override
    {
        Util::SetResourcesPathForTesting({});
        fs::remove_all(m_root);
        EXPECT_FALSE(UnreapedChildEnded());
    }

    static void WriteFile(const fs::path& path, const std::string& text)
    {
        std::ofstream(path.string(), std::ios::binary) << text;
    }

    fs::path Package(const std::string& name, const std::string& script)
    {
        const fs::path path = m_root / "packages" / name;
        WriteFile(path, script);
        return path;
    }

    // The lines of a file that a detached child writes, once it is there.
    static std::vector<std::string> LinesWhenWritten(const fs::path& path)
    {
        Zentak::Test::WaitFor([&] { return fs::exists(path); }, std::chrono::seconds(15),
                              std::chrono::milliseconds(20));
        std::ifstream file(path.string());
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> RecordedArguments()
    {
        std::ifstream file((m_root / "Resources/resources/scripts/arguments.txt").string());
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // Pumps until `count` ends have been delivered (bounded).
    static void PumpUntilFinished(IProcessExecutor& executor, Recorder& recorder, size_t count)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (recorder.finished.size() < count && Clock::now() < deadline) {
            executor.DoMainThreadWork();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GE(recorder.finished.size(), count);
    }

    fs::path m_root;
};

TEST_F(ProcessExecutorTest, ArgumentListAndInstallEnvironment)
{
    const fs::path config = m_root / "config.ini";
    WriteFile(config,
              "[Mac_Environment]\nbundle_name = ReelMaker\nK = V\n"
              "[mac_environment]\nignored = yes\n"
              "[Mac_Environment]\nsecond = section value\n");
    Settings::Set(Settings::ID::ConfigFile, config.string());
    const fs::path plist = fs::path(getenv("HOME")) / "Library/Preferences/com.zentak.install_env.plist";
    // The package proves the environment plist exists while it runs.
    const fs::path package = Package("Setup.pkg", "cp '" + plist.string() + "' '" +
                                                      (m_root / "seen.plist").string() + "'\n");
    Recorder recorder;
    {
        auto executor = GetProcessExecutor(recorder);
        executor->Execute(Mode::Install, "reelmaker", package, {"ignored", "args"});
        PumpUntilFinished(*executor, recorder, 1);
        EXPECT_EQ(recorder.finished[0].second, State::Success);
    }
    const fs::path scripts = m_root / "Resources/resources/scripts";
    EXPECT_EQ(RecordedArguments(),
              (std::vector<std::string>{(scripts / "adminRightsLauncher.sh").string(),
                                        (scripts / "install.sh").string(), package.string(),
                                        (m_root / "packages").string(), "bundle_name",
                                        "ReelMaker", "K", "V", "second", "section value"}));
    auto seen = Util::OpenPlistDictionary(m_root / "seen.plist");
    EXPECT_EQ(seen->GetString("bundle_name"), "ReelMaker");
    EXPECT_EQ(seen->GetString("second"), "section value");
    EXPECT_EQ(seen->GetString("ignored"), "");
    EXPECT_FALSE(fs::exists(plist)) << "removed when the executor goes";
}

TEST_F(ProcessExecutorTest, ConfigurationWithoutEnvironmentStillWritesAnEmptyPlist)
{
    const fs::path config = m_root / "config.ini";
    WriteFile(config, "[Product]\nversion = 1\n");
    Settings::Set(Settings::ID::ConfigFile, config.string());
    const fs::path plist = fs::path(getenv("HOME")) / "Library/Preferences/com.zentak.install_env.plist";
    const fs::path package =
        Package("Setup.pkg", "test -f '" + plist.string() + "' || exit 5\n");
    Recorder recorder;
    auto executor = GetProcessExecutor(recorder);
    executor->Execute(Mode::Install, "p", package, {});
    PumpUntilFinished(*executor, recorder, 1);
    EXPECT_EQ(recorder.finished[0].second, State::Success);
    EXPECT_EQ(RecordedArguments().size(), 4u) << "the runner plus four arguments";
}

TEST_F(ProcessExecutorTest, EndsArriveOnlyThroughThePumpAndExitCodesCount)
{
    Recorder recorder;
    auto executor = GetProcessExecutor(recorder);
    executor->Execute(Mode::Install, "ok", Package("ok.pkg", "exit 0\n"), {});
    executor->Execute(Mode::Install, "bad", Package("bad.pkg", "exit 3\n"), {});
    executor->Execute(Mode::Install, "killed", Package("killed.pkg", "kill -9 $$\n"), {});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (recorder.StartedCount() < 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(recorder.finished.empty()) << "no end is delivered without a pump";
    PumpUntilFinished(*executor, recorder, 3);
    std::map<std::string, State> states(recorder.finished.begin(), recorder.finished.end());
    EXPECT_EQ(states["ok"], State::Success);
    EXPECT_EQ(states["bad"], State::Error);
    EXPECT_EQ(states["killed"], State::Error);
}

TEST_F(ProcessExecutorTest, OutputLinesEndAtCarriageReturns)
{
    LogCapture log;
    Recorder recorder;
    auto executor = GetProcessExecutor(recorder);
    executor->Execute(Mode::Install, "talker",
                      Package("talk.pkg", "printf 'first\\rsecond\\rthird\\nstill third'\n"), {});
    PumpUntilFinished(*executor, recorder, 1);
    const std::string text = log.Text();
    EXPECT_NE(text.find("process talker wrote output:\nfirst\n"), std::string::npos) << text;
    EXPECT_NE(text.find("process talker wrote output:\nsecond\n"), std::string::npos) << text;
    EXPECT_NE(text.find("process talker wrote output:\nthird\nstill third\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("talker: process finished with exit code = 0, exit state = 0"),
              std::string::npos);
}

TEST_F(ProcessExecutorTest, ChildThatWillNotEndIsKilledAtTheLimit)
{
    setenv("ZENTAK_TEST_PROCESS_TIME_LIMIT_SECONDS", "1", 1);
    LogCapture log;
    Recorder recorder;
    auto executor = GetProcessExecutor(recorder);
    executor->Execute(Mode::Install, "stuck", Package("stuck.pkg", "exec sleep 60\n"), {});
    PumpUntilFinished(*executor, recorder, 1);
    EXPECT_EQ(recorder.finished[0].second, State::Error);
    EXPECT_NE(log.Text().find("stuck: process interrupted by timeout"), std::string::npos);
    EXPECT_EQ(recorder.causes[0], "installer did not finish within 1 s");
}

// The person is told why an installer failed: how it ended and the last
// line it wrote, which is its reason as a rule.
TEST_F(ProcessExecutorTest, AFailedInstallersCauseIsItsEndAndLastLine)
{
    const struct {
        const char* script;
        const char* cause;
    } cases[] = {
        {"echo unpacking\necho 'disk is full'\necho\nexit 1\n",
         "installer exited with code 1: disk is full"},
        {"exit 2\n", "installer exited with code 2"},
        {"kill -9 $$\n", "installer ended by signal 9"},
        {"echo done\nexit 0\n", ""},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.script);
        Recorder recorder;
        auto executor = GetProcessExecutor(recorder);
        executor->Execute(Mode::Install, "codecs", Package("codecs.pkg", test.script), {});
        PumpUntilFinished(*executor, recorder, 1);
        EXPECT_EQ(recorder.causes[0], test.cause);
    }
}

// When the owner goes away, a running installer is asked to end first, so an
// install script can put an older copy back; one that does not end in the
// grace period is killed. Either way its end is delivered.
TEST_F(ProcessExecutorTest, DestructionStopsAnInstallerAndDeliversItsEnd)
{
    const fs::path pidFile = m_root / "child.pid";
    const fs::path tidied = m_root / "tidied";
    const struct {
        const char* name;
        std::string script;
        bool tidies;
    } cases[] = {
        {"tidies on SIGTERM", "trap 'echo yes > \"" + tidied.string() + "\"; exit 1' TERM", true},
        {"ignores SIGTERM", "trap '' TERM", false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove(pidFile);
        fs::remove(tidied);
        Recorder recorder;
        {
            auto executor = GetProcessExecutor(recorder);
            executor->Execute(Mode::Install, "long",
                              Package("long.pkg", test.script + "\necho $$ > '" + pidFile.string() +
                                                      ".new' && mv '" + pidFile.string() + ".new' '" +
                                                      pidFile.string() + "'\nsleep 60 & wait $!\nsleep 60\n"),
                              {});
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (!fs::exists(pidFile) && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            ASSERT_TRUE(fs::exists(pidFile));
        }
        ASSERT_EQ(recorder.finished.size(), 1u);
        EXPECT_EQ(recorder.finished[0].second, State::Error);
        pid_t child = 0;
        std::ifstream(pidFile.string()) >> child;
        ASSERT_GT(child, 0);
        EXPECT_NE(kill(child, 0), 0) << "the installer still runs";
        EXPECT_EQ(fs::exists(tidied), test.tidies);
    }
}

TEST_F(ProcessExecutorTest, LaunchedProductIsDetachedAndOutlivesTheExecutor)
{
    const fs::path pidFile = m_root / "product.pid";
    Recorder recorder;
    {
        auto executor = GetProcessExecutor(recorder);
        executor->Execute(Mode::Run, "product",
                          Package("product", "echo $$ > '" + pidFile.string() + "'\nexec sleep 20\n"),
                          {});
        PumpUntilFinished(*executor, recorder, 1);
        EXPECT_EQ(recorder.finished[0].second, State::Success);
        EXPECT_EQ(recorder.started, (std::vector<std::string>{"2 product"}));
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists(pidFile) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_t product = 0;
    std::ifstream(pidFile.string()) >> product;
    ASSERT_GT(product, 0);
    EXPECT_EQ(kill(product, 0), 0) << "the product still runs";
    kill(product, SIGKILL);
}

TEST_F(ProcessExecutorTest, ChildrenStartWithNoSignalBlocked)
{
    // The console splash blocks termination signals in the program's
    // threads; the installers and products it starts must not inherit that.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    Recorder recorder;
    {
        auto executor = GetProcessExecutor(recorder);
        executor->Execute(Mode::Install, "mask",
                          // A SIGTERM the child sends itself must arrive at
                          // once: blocked, it would stay pending and the
                          // script would go on to fail.
                          Package("mask.pkg", "trap 'exit 0' TERM\nkill -TERM $$\nexit 3\n"),
                          {});
        PumpUntilFinished(*executor, recorder, 1);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_EQ(recorder.finished[0].second, State::Success);
}

// An installer that is stopped and continued has not ended: its end is the
// one it makes afterwards. Only Darwin's waitid reports the stop as well, so
// only there can this fail; Linux runs it for the same outcome.
TEST_F(ProcessExecutorTest, AStoppedInstallerHasNotEnded)
{
    const fs::path pidFile = m_root / "stopped.pid";
    Recorder recorder;
    auto executor = GetProcessExecutor(recorder);
    executor->Execute(Mode::Install, "stopped",
                      Package("stopped.pkg", "echo $$ > '" + pidFile.string() + ".new'\nmv '" +
                                                 pidFile.string() + ".new' '" + pidFile.string() +
                                                 "'\nkill -STOP $$\nexit 4\n"),
                      {});
    const std::vector<std::string> pid = LinesWhenWritten(pidFile);
    ASSERT_EQ(pid.size(), 1u);
    // Watched while stopped for a few of the watcher's turns.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(static_cast<pid_t>(std::stol(pid[0])), SIGCONT);
    PumpUntilFinished(*executor, recorder, 1);
    EXPECT_EQ(recorder.causes[0], "installer exited with code 4");
}

// A launcher that cannot be started is told apart from one that failed:
// the child reports why exec failed on a pipe that stays open until then.
TEST_F(ProcessExecutorTest, ALauncherThatCannotStartSaysWhy)
{
    setenv("ZENTAK_TEST_LAUNCHER_SHELL", (m_root / "no-such-shell").c_str(), 1);
    Recorder recorder;
    auto executor = GetProcessExecutor(recorder);
    executor->Execute(Mode::Install, "missing", Package("missing.pkg", "exit 0\n"), {});
    PumpUntilFinished(*executor, recorder, 1);
    EXPECT_EQ(recorder.finished[0].second, State::Error);
    EXPECT_EQ(recorder.causes[0],
              "installer could not be started: " + std::generic_category().message(ENOENT));
}

// Descriptors the program holds without close-on-exec (a library's socket,
// a file opened elsewhere) reach neither an installer nor a launched
// product: each sees its standard three only.
TEST_F(ProcessExecutorTest, ChildrenInheritOnlyTheStandardDescriptors)
{
    Zentak::Test::InheritableDescriptors leaked;
    ASSERT_GE(leaked.Open("/dev/null"), 0);
    ASSERT_TRUE(leaked.Pipe());
    // One at the top of the range, where a loop that stops short misses it.
    const long limit = sysconf(_SC_OPEN_MAX);
    const int top = static_cast<int>(std::min<long>(limit > 0 ? limit : 256, 1024)) - 1;
    ASSERT_EQ(leaked.CopyTo(leaked.Numbers()[0], top), top);

    // A shell started by -c holds nothing of its own; the package's shell
    // holds its script open. The listing goes to a file made standard
    // output for good, so the shell keeps no saved copy of it open.
    std::string numbers = "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 " + std::to_string(top);
    for (int descriptor : leaked.Numbers()) {
        numbers += " " + std::to_string(descriptor);
    }
    const struct {
        Mode mode;
        const char* name;
    } cases[] = {{Mode::Install, "installer"}, {Mode::Run, "product"}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const fs::path listing = m_root / (std::string(test.name) + ".fds");
        const std::string script =
            "exec /bin/sh -c 'exec >\"$0.new\"; for n in " + numbers +
            "; do [ -e /dev/fd/$n ] && echo $n; done; mv \"$0.new\" \"$0\"' '" + listing.string() +
            "'\n";
        Recorder recorder;
        {
            auto executor = GetProcessExecutor(recorder);
            executor->Execute(test.mode, test.name,
                              Package(std::string(test.name) + ".pkg", script), {});
            PumpUntilFinished(*executor, recorder, 1);
            EXPECT_EQ(recorder.finished[0].second, State::Success);
        }
        std::vector<std::string> open = LinesWhenWritten(listing);
        // Standard input is whatever the test itself was given.
        open.erase(std::remove(open.begin(), open.end(), "0"), open.end());
        EXPECT_EQ(open, (std::vector<std::string>{"1", "2"}));
    }
}

// The install script installs where the program checked the free space:
// the setting InstallDir, when set, replaces whatever the environment said.
TEST_F(ProcessExecutorTest, TheApplicationsFolderIsTheInstallDirSetting)
{
    const std::string folder = (m_root / "Apps with space's").string();
    const struct {
        const char* name;
        std::any installDir;
        const char* inherited;
        std::string expected;
    } cases[] = {
        {"setting as path", fs::path(folder), nullptr, folder + "|1"},
        {"setting as text replaces the inherited value", folder, "/elsewhere", folder + "|1"},
        {"no setting keeps the inherited value", std::any(), "/elsewhere", "/elsewhere|1"},
        {"neither", std::any(), nullptr, "unset|0"},
    };
    const fs::path seen = m_root / "seen.txt";
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove(seen);
        if (test.installDir.has_value()) {
            Settings::Set(Settings::ID::InstallDir, test.installDir);
        } else {
            Settings::Unset(Settings::ID::InstallDir);
        }
        Zentak::Test::ScopedEnvironment inherited(
            "ZENTAK_APPLICATIONS_DIR",
            test.inherited ? std::optional<std::string>(test.inherited) : std::nullopt);
        Recorder recorder;
        auto executor = GetProcessExecutor(recorder);
        const std::string script = "printf '%s|%s\\n' \"${ZENTAK_APPLICATIONS_DIR-unset}\" "
                                   "\"$(env | grep -c '^ZENTAK_APPLICATIONS_DIR=')\" > '" +
                                   seen.string() + "'\n";
        executor->Execute(Mode::Install, "apps", Package("apps.pkg", script), {});
        PumpUntilFinished(*executor, recorder, 1);
        EXPECT_EQ(Zentak::Test::ReadFile(seen.string()), test.expected + "\n");
    }
}

// The launcher the bundle ships (osascript and the compiled AppleScript on
// macOS, which must pass the folder on explicitly) hands the folder on to
// install.sh. Launching a product needs no administrator, so this runs
// unattended on every system.
TEST_F(ProcessExecutorTest, TheShippedLauncherHandsTheApplicationsFolderOn)
{
    const fs::path shipped = fs::path(ZENTAK_BUNDLE_DIR) / "Contents/Resources/resources/scripts";
    const fs::path scripts = m_root / "Resources/resources/scripts";
    for (const fs::directory_entry& entry : fs::directory_iterator(shipped)) {
        if (entry.path().stem() == "adminRightsLauncher") {
            fs::copy_file(entry.path(), scripts / entry.path().filename(),
                          fs::copy_options::overwrite_existing);
        }
    }
    unsetenv("ZENTAK_TEST_LAUNCHER_SHELL");
    const fs::path seen = m_root / "seen.txt";
    WriteFile(scripts / "install.sh",
              "printf '%s\\n' \"$ZENTAK_APPLICATIONS_DIR\" \"$1\" > '" + seen.string() + ".new'\n"
              "mv '" + seen.string() + ".new' '" + seen.string() + "'\n");
    const std::string folder = (m_root / "Apps with space's").string();
    Settings::Set(Settings::ID::InstallDir, fs::path(folder));
    const fs::path product = m_root / "packages/Reel.app";
    fs::create_directories(product);
    Recorder recorder;
    {
        auto executor = GetProcessExecutor(recorder);
        executor->Execute(Mode::Run, "product", product, {});
        PumpUntilFinished(*executor, recorder, 1);
    }
    EXPECT_EQ(LinesWhenWritten(seen), (std::vector<std::string>{folder, product.string()}));
}

} // namespace
} // namespace Zentak
