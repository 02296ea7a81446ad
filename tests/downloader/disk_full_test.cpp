// A full disk must fail the batch, never let a truncated file count as
// downloaded. The download runs in a child process under a file-size limit
// (RLIMIT_FSIZE, with SIGXFSZ ignored so that writes fail with EFBIG).
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_environment.h"
#include "support/test_server.h"
#include "support/posix_compat.h"

namespace Zentak::Test {
namespace {

struct ChildResult {
    int exitCode = -1;
    std::string output;
};

// Runs the child downloader with `limit` bytes as the largest file it may
// write. Bounded: a child still running after a minute is killed.
ChildResult RunLimited(const std::string& url, const std::string& file, rlim_t limit)
{
    int output[2];
    if (Test::MakePipe(output) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    std::vector<std::string> arguments = {ZENTAK_DISK_FULL_CHILD, url, file};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls until exec: the parent has threads.
        const rlimit fileSize{limit, limit};
        setrlimit(RLIMIT_FSIZE, &fileSize);
        signal(SIGXFSZ, SIG_IGN);
        dup2(output[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{output[0], POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) {
            continue;
        }
        const ssize_t received = read(output[0], buffer, sizeof(buffer));
        if (received <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<size_t>(received));
    }
    close(output[0]);
    if (std::chrono::steady_clock::now() >= deadline) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(DiskFull, BatchFailsWithAWriteErrorAndNeverReportsSuccess)
{
    ClearProxyEnvironment();
    struct Case {
        const char* name;
        size_t size;
        rlim_t limit;
        std::string error; // the whole failure text; "<file>" stands for the path
    };
    const std::vector<Case> cases = {
        // The stream refuses a chunk: libcurl fails the transfer.
        {"refused during the transfer", 4 << 20, 1 << 20,
         std::string("curl_multi_perform failed: ") + curl_easy_strerror(CURLE_WRITE_ERROR)},
        // A small body fits in the stream's buffer; only the final flush
        // meets the limit.
        {"refused at the final flush", 600, 100,
         "Item file write error: could not write <file>: File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory directory;
        const std::string file = (directory / "package.bin").string();
        TestServer server;
        server.Expect("GET", "/package", Reply::Body(std::string(c.size, 'p')), Times::Exactly(1));

        const ChildResult result = RunLimited(server.Url("/package"), file, c.limit);
        std::string expected = c.error;
        if (const auto mark = expected.find("<file>"); mark != std::string::npos) {
            expected.replace(mark, 6, file);
        }
        EXPECT_EQ(result.exitCode, 3) << result.output;
        EXPECT_EQ(result.output, "WorkFailed: " + expected + "\n");
    }
}

TEST(DiskFull, SameTransferSucceedsWithoutTheLimit)
{
    ClearProxyEnvironment();
    TemporaryDirectory directory;
    const std::string file = (directory / "package.bin").string();
    TestServer server;
    server.Expect("GET", "/package", Reply::Body(std::string(4 << 20, 'p')), Times::Exactly(1));
    const ChildResult result = RunLimited(server.Url("/package"), file, RLIM_INFINITY);
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output, "ItemFinished\nWorkFinished\n");
    EXPECT_EQ(ReadFile(file), std::string(4 << 20, 'p'));
}

} // namespace
} // namespace Zentak::Test
