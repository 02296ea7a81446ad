#include <chrono>
#include <csignal>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_environment.h"

extern char** environ;

namespace {

namespace fs = boost::filesystem;

struct ChildResult {
    pid_t pid = -1;
    int status = 0;
};

// Runs the crash child with sanitizer handlers for fatal signals switched
// off, so the crash handler under test is the one that sees the signal.
ChildResult RunChild(const std::string& mode, const fs::path& folder, const std::string& id)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "ASAN_OPTIONS=", 13) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.emplace_back("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_abort=0:"
                             "handle_sigfpe=0:handle_sigill=0:detect_leaks=0");
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = CRASH_REPORT_CHILD;
    std::string modeArg = mode;
    std::string folderArg = folder.string();
    std::string idArg = id;
    char* argv[] = {program.data(), modeArg.data(), folderArg.data(), idArg.data(), nullptr};
    const std::string stderrPath = (folder / "child-stderr.txt").string();

    ChildResult result;
    result.pid = ::fork();
    if (result.pid == 0) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        const int fd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDERR_FILENO);
        }
        ::execve(program.c_str(), argv, envp.data());
        ::_exit(127);
    }
    if (result.pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::waitpid(result.pid, &result.status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(result.pid, SIGKILL);
            ::waitpid(result.pid, &result.status, 0);
            ADD_FAILURE() << "crash child did not end: " << mode;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return result;
}

// The lines between the breadcrumb heading and the failure heading.
std::vector<std::string> Breadcrumbs(const std::string& report)
{
    std::vector<std::string> lines;
    std::istringstream in(report);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "Failure:") {
            break;
        }
        if (inside) {
            lines.push_back(line);
        }
        if (line == "Last log lines, oldest first:") {
            inside = true;
        }
    }
    return lines;
}

std::string BreadcrumbText(const std::string& line)
{
    const size_t end = line.find("] ");
    return end == std::string::npos ? std::string() : line.substr(end + 2);
}

class CrashReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::temp_directory_path() / fs::unique_path("crash-report-%%%%-%%%%");
        fs::create_directories(m_folder);
    }
    void TearDown() override
    {
        boost::system::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    fs::path ReportOf(const ChildResult& child) const
    {
        return m_folder / ("crash-" + std::to_string(child.pid) + ".txt");
    }
    std::string ChildErrors() const
    {
        return Zentak::Test::ReadFile((m_folder / "child-stderr.txt").string());
    }
    fs::path m_folder;
};

TEST_F(CrashReportTest, FatalSignalsLeaveAReport)
{
    const struct {
        const char* mode;
        int signal;
        const char* heading;
        std::vector<std::string> breadcrumbs;
    } cases[] = {
        {"segv", SIGSEGV, "*** SIGSEGV",
         {"breadcrumb one", "breadcrumb two", "breadcrumb three", "breadcrumb four"}},
        {"terminate", SIGABRT, "*** SIGABRT",
         {"breadcrumb one", "breadcrumb two", "breadcrumb three", "breadcrumb four"}},
        {"filter", SIGSEGV, "*** SIGSEGV", {"breadcrumb three"}},
    };
    for (const auto& c : cases) {
        const ChildResult child = RunChild(c.mode, m_folder, "hw-5a1e");
        ASSERT_TRUE(WIFSIGNALED(child.status)) << c.mode << " status " << child.status << "\n"
                                               << ChildErrors();
        EXPECT_EQ(WTERMSIG(child.status), c.signal) << c.mode;

        const std::string report = Zentak::Test::ReadFile(ReportOf(child).string());
        ASSERT_FALSE(report.empty()) << c.mode << ": no report at " << ReportOf(child);
        EXPECT_EQ(report.rfind("Crash report of process " + std::to_string(child.pid) + "\n", 0),
                  0u) << report;
        EXPECT_NE(report.find("\n  hardwareId: hw-5a1e\n"), std::string::npos) << report;
        EXPECT_NE(report.find(c.heading), std::string::npos) << report;
        EXPECT_NE(report.find("received by PID " + std::to_string(child.pid)), std::string::npos)
            << report;
        EXPECT_TRUE(std::regex_search(report, std::regex("\n    @ +0x[0-9a-f]+ ")))
            << "no stack frame in\n" << report;

        std::vector<std::string> texts;
        for (const std::string& line : Breadcrumbs(report)) {
            texts.push_back(BreadcrumbText(line));
        }
        EXPECT_EQ(texts, c.breadcrumbs) << c.mode << "\n" << report;
        // The usual dump on standard error stays.
        EXPECT_NE(ChildErrors().find(c.heading), std::string::npos);
    }
}

TEST_F(CrashReportTest, KeepsTheLastHundredLinesOfConcurrentLogging)
{
    const ChildResult child = RunChild("threads", m_folder, "hw-threads");
    ASSERT_TRUE(WIFSIGNALED(child.status)) << ChildErrors();
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    const std::string report = Zentak::Test::ReadFile(ReportOf(child).string());
    const std::vector<std::string> lines = Breadcrumbs(report);
    ASSERT_EQ(lines.size(), 100u) << report;

    // Every kept line is whole, and each thread's lines keep their order and
    // end with its last line (the threads were joined before the crash).
    const std::regex shape(R"(I\d{8} \d\d:\d\d:\d\d\.\d{6} +\d+ crash_report_child\.cpp:\d+\] thread (\d) line (\d+))");
    int last[4] = {-1, -1, -1, -1};
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int thread = std::stoi(match[1]);
        const int index = std::stoi(match[2]);
        EXPECT_GT(index, last[thread]) << line;
        last[thread] = index;
    }
    int finished = 0;
    for (const int index : last) {
        finished += index == 59 ? 1 : 0;
    }
    EXPECT_GE(finished, 1);
    EXPECT_NE(report.find("hardwareId: hw-threads\n"), std::string::npos);
}

TEST_F(CrashReportTest, RemovedHandlerLeavesNoReport)
{
    const ChildResult child = RunChild("removed", m_folder, "hw-gone");
    ASSERT_TRUE(WIFSIGNALED(child.status));
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    EXPECT_FALSE(fs::exists(ReportOf(child)));
    EXPECT_EQ(ChildErrors().find("*** SIGSEGV"), std::string::npos);
}

} // namespace
