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

// A port that accepts connections and never answers.
class SilentPort {
public:
    SilentPort()
    {
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_socket, 16);
        socklen_t length = sizeof address;
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~SilentPort() { close(m_socket); }
    int Port() const { return m_port; }

private:
    int m_socket = -1;
    int m_port = 0;
};

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

TEST_F(LifecycleTest, UnattendedRunsEndWhereAWindowWouldWait)
{
    const fs::path content = m_dir.Sub("content");
    DevServer server(content, m_dir.Sub("state"));

    struct Case {
        std::string name;
        std::string config; // written to a local file; empty: download from a missing URL
        std::vector<std::string> output;
        std::vector<std::string> events;
    } cases[] = {
        {"no packages",
         "[Product]\nversion = 3.1\n[Statistics]\nurl = " + server.Url("/stats") + "\nid = k\n",
         {"Page: Start", "Version 3.1", "Page: Progress"},
         {"BUNDLE_INSTALL_STARTED", "BUNDLE_EULA_ACCEPTED", "BUNDLE_INSTALL_CANCELLED"}},
        {"syntax error", "[Statistics]\nurl = " + server.Url("/stats") + "\nbroken line\n",
         {"You need to be connected to the Internet"},
         {}},
        {"missing configuration", "", {"You need to be connected to the Internet"}, {}},
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
        EXPECT_EQ(result.exitCode, 3) << result.Describe();
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

// Ticks of CPU time the thread named `name` of process `pid` has used.
long ThreadCpuTicks(pid_t pid, const std::string& name)
{
    const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
    std::error_code error;
    for (const auto& task : fs::directory_iterator(tasks, error)) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName != name) {
            continue;
        }
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        long utime = 0;
        long stime = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14) {
                utime = std::stol(field);
            } else if (index == 15) {
                stime = std::stol(field);
                break;
            }
        }
        return utime + stime;
    }
    return -1;
}

TEST_F(LifecycleTest, LogicThreadSleepsWhileItWaits)
{
    // The configuration download hangs: the loop has nothing to do.
    SilentPort silent;
    InstallerRun run = Run({"--unattended", "--config-url=http://127.0.0.1:" +
                                                std::to_string(silent.Port()) + "/config.ini"});
    std::vector<std::string> argv{InstallerProgram().string()};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    EnvironmentChanges env = run.env;
    env["HOME"] = run.home.string();
    env["TMPDIR"] = run.tmp.string();
    env["DISPLAY"] = std::nullopt;
    BackgroundProcess program(argv, env, m_dir.Path() / "stderr.txt");

    long before = -1;
    for (int attempt = 0; attempt < 100 && before < 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        before = ThreadCpuTicks(program.Pid(), "logic");
    }
    ASSERT_GE(before, 0) << "no logic thread found";
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long after = ThreadCpuTicks(program.Pid(), "logic");
    program.Stop(std::chrono::seconds(2));
    // A spinning loop would use about 300 ticks here.
    EXPECT_LE(after - before, 3) << "the logic thread used CPU while waiting";
}

} // namespace
} // namespace Zentak::E2e
