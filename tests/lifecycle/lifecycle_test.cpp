// The program's life from start to exit, through the built bundle: where
// logs go, what is left behind, how an unattended run ends, and that the
// logic thread sleeps while it waits.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "harness/dev_server.h"
#include "harness/installer_run.h"
#include "harness/temp_dir.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class LifecycleTest : public ::testing::Test {
protected:
    InstallerRun Run(std::vector<std::string> args)
    {
        InstallerRun run;
        run.args = std::move(args);
        run.home = m_dir.Sub("home");
        run.tmp = m_dir.Sub("tmp");
        // No web user id service: the resolution falls back at once.
        run.env["ZENTAK_UID_SERVICE_URL"] = "http://127.0.0.1:9/api/v1/uid";
        run.timeout = std::chrono::seconds(120);
        return run;
    }

    TempDir m_dir{"zentak-lifecycle"};
};

TEST_F(LifecycleTest, LogPathTakesTheLogsAndTheRunDirectoryStillComesAndGoes)
{
    const fs::path config = m_dir.Path() / "empty.ini";
    WriteFile(config, "[Product]\nversion = 1.0\n");
    const fs::path logs = m_dir.Path() / "logs" / "new";
    InstallerRun run = Run({"--unattended", "--config-file=" + config.string(),
                            "--log-path=" + logs.string()});
    const ProcessResult result = RunInstaller(run);
    EXPECT_EQ(result.exitCode, 3) << result.Describe();

    bool infoLog = false;
    for (const auto& entry : fs::directory_iterator(logs)) {
        infoLog = infoLog || Contains(entry.path().filename().string(), "INFO");
    }
    EXPECT_TRUE(infoLog) << "glog files in " << logs;
    EXPECT_TRUE(RunDirectories(run.tmp).empty());
    EXPECT_TRUE(Contains(result.out, "Nothing") || Contains(result.out, "Page: Progress"))
        << result.out;
}

TEST_F(LifecycleTest, DebugKeepsTheRunDirectoryAndItsLogs)
{
    const fs::path config = m_dir.Path() / "empty.ini";
    WriteFile(config, "[Product]\nversion = 1.0\n");
    InstallerRun run = Run({"--unattended", "--debug", "--config-file=" + config.string()});
    const ProcessResult result = RunInstaller(run);
    EXPECT_EQ(result.exitCode, 3) << result.Describe();
    const auto directories = RunDirectories(run.tmp);
    ASSERT_EQ(directories.size(), 1u);
    // The configuration copy and the logs are kept for inspection.
    bool ini = false;
    bool log = false;
    for (const auto& entry : fs::directory_iterator(directories[0])) {
        ini = ini || entry.path().extension() == ".ini";
        log = log || Contains(entry.path().filename().string(), "INFO");
    }
    EXPECT_TRUE(ini);
    EXPECT_TRUE(log);

    // The next run without --debug removes it together with its own.
    const ProcessResult second = RunInstaller(Run({"--unattended", "--config-file=" + config.string()}));
    EXPECT_EQ(second.exitCode, 3) << second.Describe();
    EXPECT_TRUE(RunDirectories(run.tmp).empty());
}

// Help and version need no display; a missing value stops the run before
// anything starts; an unknown option is named, with the nearest known one.
TEST_F(LifecycleTest, CommandLineAnswersBeforeAnythingStarts)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out; // a part of standard output
        std::string err; // a part of standard error
    } cases[] = {
        {{"--help"}, 0, "--config-url=<url>", ""},
        {{"--version"}, 0, "installer 1.6.0\n", ""},
        {{"--unattended", "--config-url"}, 2, "",
         "installer: option --config-url needs a value: --config-url=<url>\n"},
        {{"--config-file"}, 1, "", "installer: option --config-file needs a value"},
        {{"--unattended", "--config-ulr=x", "--config-url=http://127.0.0.1:9/config.ini"},
         4, "", "installer: ignoring unknown option --config-ulr (did you mean --config-url?)\n"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.args));
        InstallerRun run = Run(test.args);
        run.env["DISPLAY"] = std::nullopt;
        const ProcessResult result = RunInstaller(run);
        EXPECT_EQ(result.exitCode, test.exitCode) << result.Describe() << "\n" << result.err;
        EXPECT_TRUE(Contains(result.out, test.out)) << result.out;
        EXPECT_TRUE(Contains(result.err, test.err)) << result.err;
        EXPECT_TRUE(RunDirectories(run.tmp).empty());
    }
}

TEST_F(LifecycleTest, UnattendedRunsEndWhereAWindowWouldWait)
{
    const fs::path content = m_dir.Sub("content");
    DevServer server(content, m_dir.Sub("state"));

    struct Case {
        std::string name;
        std::string config; // written to a local file; empty: download from a missing URL
        std::vector<std::string> output;
        std::vector<std::string> events;
        int exitCode; // nothing to install ends as if cancelled
    } cases[] = {
        {"no packages",
         "[Product]\nversion = 3.1\n[Statistics]\nurl = " + server.Url("/stats") + "\nid = k\n",
         {"Page: Start", "Version 3.1", "Page: Progress"},
         {"BUNDLE_INSTALL_STARTED", "BUNDLE_EULA_ACCEPTED", "BUNDLE_INSTALL_CANCELLED"},
         3},
        {"syntax error", "[Statistics]\nurl = " + server.Url("/stats") + "\nbroken line\n",
         {"You need to be connected to the Internet"},
         {},
         4},
        {"missing configuration", "", {"You need to be connected to the Internet"}, {}, 4},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<std::string> args{"--unattended"};
        if (test.config.empty()) {
            args.push_back("--config-url=" + server.Url("/content/missing.ini"));
        } else {
            const fs::path file = m_dir.Path() / "config.ini";
            WriteFile(file, test.config);
            args.push_back("--config-file=" + file.string());
        }
        InstallerRun run = Run(args);
        fs::remove_all(server.StateDir() / "events.jsonl");
        const ProcessResult result = RunInstaller(run);
        EXPECT_EQ(result.exitCode, test.exitCode) << result.Describe();
        EXPECT_EQ(result.termSignal, 0);
        for (const std::string& line : test.output) {
            EXPECT_TRUE(Contains(result.out, line)) << line << "\n" << result.out;
        }
        const auto names = EventNames(server.Events());
        auto position = names.begin();
        for (const std::string& event : test.events) {
            position = std::find(position, names.end(), event);
            EXPECT_NE(position, names.end()) << event << " missing or out of order";
        }
        EXPECT_TRUE(RunDirectories(run.tmp).empty());
        EXPECT_FALSE(Contains(result.err, "Sanitizer")) << result.err;
    }
}

} // namespace
} // namespace Zentak::E2e
