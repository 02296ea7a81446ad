#include "harness/process.h"
#include "support/posix_compat.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace Zentak::E2e {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Output that may still arrive after the child ended is read for this long;
// a grandchild that kept the pipe open must not hold the test.
constexpr milliseconds kDrainAfterExit{2000};
constexpr milliseconds kPollStep{100};

std::vector<std::string> BuildEnvironment(const EnvironmentChanges& changes)
{
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (changes.count(name) == 0) {
            result.push_back(text);
        }
    }
    for (const auto& [name, value] : changes) {
        if (value) {
            result.push_back(name + "=" + *value);
        }
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

void ThrowErrno(const std::string& what, int error)
{
    throw std::runtime_error(what + ": " + std::strerror(error));
}

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe()
    {
        int fds[2];
        if (Test::MakePipe(fds) != 0) {
            ThrowErrno("pipe", errno);
        }
        read = fds[0];
        write = fds[1];
    }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void CloseRead()
    {
        if (read >= 0) {
            close(read);
        }
        read = -1;
    }
    void CloseWrite()
    {
        if (write >= 0) {
            close(write);
        }
        write = -1;
    }
};

// Starts argv with stdin from /dev/null and stdout/stderr on the given
// descriptors, in a process group of its own, with default signal handling.
pid_t Spawn(const std::vector<std::string>& argv, const EnvironmentChanges& env, int outFd,
            int errFd)
{
    if (argv.empty()) {
        throw std::runtime_error("no program to start");
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = BuildEnvironment(env);
    std::vector<char*> argPointers = Pointers(args);
    std::vector<char*> envPointers = Pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&defaults, signal);
    }
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &noMask);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argPointers[0], &actions, &attributes, argPointers.data(),
                                   envPointers.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        ThrowErrno("cannot start " + argv[0], error);
    }
    return pid;
}

void Record(int status, ProcessResult& result)
{
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
}

// Reads what is available on the open descriptors, waiting at most `wait`.
// A descriptor at its end is closed and set to -1.
void ReadAvailable(int& outFd, std::string& out, int& errFd, std::string& err, milliseconds wait)
{
    pollfd fds[2];
    std::string* targets[2];
    int* owners[2];
    nfds_t count = 0;
    for (auto [fd, target] : {std::pair<int*, std::string*>{&outFd, &out}, {&errFd, &err}}) {
        if (*fd >= 0) {
            fds[count] = pollfd{*fd, POLLIN, 0};
            targets[count] = target;
            owners[count] = fd;
            ++count;
        }
    }
    if (count == 0) {
        std::this_thread::sleep_for(wait);
        return;
    }
    if (poll(fds, count, static_cast<int>(wait.count())) <= 0) {
        return;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0) {
            targets[i]->append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            close(*owners[i]);
            *owners[i] = -1;
        }
    }
}

} // namespace

std::string ProcessResult::Describe() const
{
    std::string text;
    if (timedOut) {
        text = "timed out, killed";
    } else if (Exited()) {
        text = "exit code " + std::to_string(exitCode);
    } else {
        text = "signal " + std::to_string(termSignal);
    }
    constexpr size_t kTail = 4000;
    const std::string tail = err.size() > kTail ? err.substr(err.size() - kTail) : err;
    return text + "; standard error:\n" + tail;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvironmentChanges& env,
                         milliseconds timeout)
{
    Pipe out;
    Pipe err;
    const pid_t pid = Spawn(argv, env, out.write, err.write);
    out.CloseWrite();
    err.CloseWrite();

    ProcessResult result;
    const auto deadline = Clock::now() + timeout;
    std::optional<Clock::time_point> exitedAt;
    while (out.read >= 0 || err.read >= 0 || !exitedAt) {
        const auto now = Clock::now();
        if (exitedAt && now - *exitedAt > kDrainAfterExit) {
            break;
        }
        if (!exitedAt && now >= deadline) {
            // The whole group, so that what it started does not outlive the test.
            kill(-pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
            Record(status, result);
            result.timedOut = true;
            exitedAt = Clock::now();
            continue;
        }
        ReadAvailable(out.read, result.out, err.read, result.err, kPollStep);
        if (!exitedAt) {
            int status = 0;
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                Record(status, result);
                exitedAt = Clock::now();
            }
        }
    }
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const EnvironmentChanges& env,
                                     const std::filesystem::path& stderrFile)
{
    const int errFd = open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (errFd < 0) {
        ThrowErrno("cannot open " + stderrFile.string(), errno);
    }
    Pipe out;
    try {
        m_pid = Spawn(argv, env, out.write, errFd);
    } catch (...) {
        close(errFd);
        throw;
    }
    close(errFd);
    out.CloseWrite();
    m_out = out.read;
    out.read = -1;
}

BackgroundProcess::~BackgroundProcess()
{
    Stop();
}

std::optional<std::string> BackgroundProcess::ReadLine(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (m_out < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{m_out, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(m_out, buffer, sizeof buffer);
        if (got > 0) {
            m_buffer.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            close(m_out);
            m_out = -1;
        }
    }
}

bool BackgroundProcess::WaitForExit(milliseconds timeout)
{
    if (m_result) {
        return true;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            ProcessResult result;
            Record(status, result);
            m_result = result;
            break;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        ReadInto(m_buffer, kPollStep);
    }
    // What it wrote last; a grandchild that kept the pipe open must not hold
    // the caller.
    const auto drainEnd = Clock::now() + kDrainAfterExit;
    while (m_out >= 0 && Clock::now() < drainEnd) {
        ReadInto(m_buffer, kPollStep);
    }
    return true;
}

void BackgroundProcess::ReadInto(std::string& buffer, milliseconds wait)
{
    if (m_out < 0) {
        std::this_thread::sleep_for(wait);
        return;
    }
    pollfd fd{m_out, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(wait.count())) <= 0) {
        return;
    }
    char chunk[4096];
    const ssize_t got = read(m_out, chunk, sizeof chunk);
    if (got > 0) {
        buffer.append(chunk, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(m_out);
        m_out = -1;
    }
}

ProcessResult BackgroundProcess::Stop(milliseconds grace)
{
    if (m_result) {
        if (m_out >= 0) {
            close(m_out);
            m_out = -1;
        }
        return *m_result;
    }
    ProcessResult result;
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        const auto deadline = Clock::now() + grace;
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(20));
        }
        if (done == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            result.timedOut = true;
        }
        Record(status, result);
    }
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
    m_result = result;
    return result;
}

} // namespace Zentak::E2e
