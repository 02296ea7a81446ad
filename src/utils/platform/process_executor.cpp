#include "utils/platform/process_executor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include <boost/filesystem.hpp>
#include <boost/property_tree/ptree.hpp>
#include <glog/logging.h>

#include "external/crash_handler.h"
#include "external/plist.h"
#include "utils/ini_reader.h"
#include "utils/platform/system_info.h"
#include "utils/posix_compat.h"
#include "utils/settings.h"

// The process's environment, the base of a child's.
extern char** environ;

namespace Zentak {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(__APPLE__)
constexpr const char* kRunner = "/usr/bin/osascript";
constexpr const char* kLauncherScript = "adminRightsLauncher.scpt";
#else
constexpr const char* kRunner = "/bin/sh";
constexpr const char* kLauncherScript = "adminRightsLauncher.sh";
#endif

// Where the install script installs: the program's own choice (the setting
// InstallDir) is handed to it, so that the free-space check and the
// installed path name the folder the script uses.
constexpr const char* kApplicationsVariable = "ZENTAK_APPLICATIONS_DIR";

constexpr std::chrono::seconds kDefaultTimeLimit{600};
constexpr std::chrono::milliseconds kPollInterval{100};
// How long an installer that is stopped (past its time limit, or because the
// run ends) has to end after SIGTERM: long enough for the install script to
// put an older copy back and remove its staging folder.
constexpr std::chrono::seconds kTermGrace{5};
constexpr std::chrono::milliseconds kGracePoll{50};

// Tests shorten the limit through the environment; only builds made with
// the tests read it.
std::chrono::seconds TimeLimit()
{
#ifdef ZENTAK_TEST_SEAMS
    if (const char* text = std::getenv("ZENTAK_TEST_PROCESS_TIME_LIMIT_SECONDS")) {
        const long seconds = std::strtol(text, nullptr, 10);
        if (seconds > 0) {
            return std::chrono::seconds(seconds);
        }
    }
#endif
    return kDefaultTimeLimit;
}

struct Launcher {
    const char* runner;
    const char* script;
};

// Tests script the launcher in sh on every system: builds made with the
// tests run adminRightsLauncher.sh through the shell the variable names,
// on macOS too.
Launcher TheLauncher()
{
#ifdef ZENTAK_TEST_SEAMS
    if (const char* shell = std::getenv("ZENTAK_TEST_LAUNCHER_SHELL"); shell && *shell) {
        return {shell, "adminRightsLauncher.sh"};
    }
#endif
    return {kRunner, kLauncherScript};
}

// This process's environment with the Applications folder set to
// `applications`; unchanged when that is empty.
std::vector<std::string> ChildEnvironment(const std::string& applications)
{
    const std::string prefix = std::string(kApplicationsVariable) + "=";
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (applications.empty() || std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (!applications.empty()) {
        environment.push_back(prefix + applications);
    }
    return environment;
}

// The install environment plist is removed by a fixed path under HOME at
// load and at exit, so no run leaves one behind.
void ClearInstallEnv()
{
    const char* home = std::getenv("HOME");
    if (!home) {
        return;
    }
    boost::system::error_code error;
    boost::filesystem::remove(
        boost::filesystem::path(home) / "Library/Preferences/com.zentak.install_env.plist", error);
}

struct EnvPreservationGuard {
    EnvPreservationGuard() { ClearInstallEnv(); }
    ~EnvPreservationGuard() { ClearInstallEnv(); }
} g_envPreservationGuard;

std::string QuotedCommandLine(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) {
            line += ' ';
        }
        line += "'" + argument + "'";
    }
    return line;
}

// Starts the program of `arguments` with `environment` and its standard
// output on a pipe. Returns the pid (the output's read end in `output`);
// throws std::system_error when the program cannot be started. A detached
// child runs as a grandchild whose parent has already been reaped, so it
// never becomes our zombie and outlives us freely.
pid_t Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            bool detached, int& output)
{
    // Our pipes are made close-on-exec in a second step; no other thread
    // may fork in between, and our child must not inherit another thread's
    // descriptors in that state either.
    std::unique_lock<std::mutex> forkLock(Util::ForkMutex());
    int outputPipe[2];
    int errorPipe[2]; // carries errno when exec fails
    if (Util::PipeCloseOnExec(outputPipe) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    if (Util::PipeCloseOnExec(errorPipe) != 0) {
        const int code = errno;
        close(outputPipe[0]);
        close(outputPipe[1]);
        throw std::system_error(code, std::generic_category(), "pipe");
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    // Built before the fork: the child may not allocate.
    std::vector<char*> envp;
    for (const std::string& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on. The signal mask of the
        // thread that forks survives exec: a child must start with nothing
        // blocked, or it (and the product it starts) could not be stopped.
        sigset_t nothing;
        sigemptyset(&nothing);
        sigprocmask(SIG_SETMASK, &nothing, nullptr);
        dup2(outputPipe[1], STDOUT_FILENO);
        // What this process holds without close-on-exec (libcurl's
        // sockets, files a library opened) is not the child's business, and
        // an installed product would keep it open for its whole life. The
        // error pipe is close-on-exec: it stays open until exec succeeds.
        Util::CloseDescriptorsFrom(STDERR_FILENO + 1, errorPipe[1]);
        if (!detached) {
            // Its own process group, so that what it starts (an unpacker
            // still writing into the Applications folder) can be ended with
            // it, also after it died of a signal.
            setpgid(0, 0);
        }
        if (detached) {
            setsid();
            if (fork() != 0) {
                _exit(0);
            }
        }
        execve(argv[0], argv.data(), envp.data());
        const int code = errno;
        (void)!write(errorPipe[1], &code, sizeof code);
        _exit(127);
    }
    const int forkError = errno;
    forkLock.unlock();
    if (pid > 0 && !detached) {
        // Also here, so the group exists before anyone signals it.
        setpgid(pid, pid);
    }
    close(outputPipe[1]);
    close(errorPipe[1]);
    if (pid < 0) {
        close(outputPipe[0]);
        close(errorPipe[0]);
        throw std::system_error(forkError, std::generic_category(), "fork");
    }
    int execError = 0;
    ssize_t got;
    do {
        got = read(errorPipe[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    close(errorPipe[0]);
    if (detached) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (got == static_cast<ssize_t>(sizeof execError)) {
        if (!detached) {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        close(outputPipe[0]);
        throw std::system_error(execError, std::generic_category(), "exec");
    }
    fcntl(outputPipe[0], F_SETFL, fcntl(outputPipe[0], F_GETFL) | O_NONBLOCK);
    output = outputPipe[0];
    return pid;
}

// Whether waitid reported an end. Darwin's waitid also reports a child
// that was stopped or continued, which has not ended.
bool IsEnd(int code)
{
    return code == CLD_EXITED || code == CLD_KILLED || code == CLD_DUMPED;
}

class ProcessExecutor;

// One launched child and the task that watches it.
class Process {
public:
    Process(IProcessExecutorObserver& executor, IProcessExecutorObserver::Mode mode,
            std::string name)
        : m_executor(executor), m_mode(mode), m_name(std::move(name))
    {
    }

    ~Process()
    {
        if (m_task.valid()) {
            m_task.wait();
        }
        if (m_output >= 0) {
            close(m_output);
        }
    }

    void Launch(const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment)
    {
        const bool detached = m_mode == IProcessExecutorObserver::Run;
        try {
            m_pid = Spawn(arguments, environment, detached, m_output);
        } catch (const std::system_error& error) {
            LOG(INFO) << "Creating process failed, system error " << error.code().category().name()
                      << ":" << error.code().value() << " meaning " << error.code().message();
            Core::TrackException(Core::TypeName(error), std::string(error.code().category().name()) +
                                                            ":" + std::to_string(error.code().value()));
            m_startError = error.code().message();
            m_pid = -1;
        }
        m_task = std::async(std::launch::async, [this] { Wait(); });
    }

    // Stops an attached child that still runs (the owner is going away):
    // the watching thread asks its group to end, gives it the grace period
    // to tidy up, then kills what is left. Returns at once.
    void Terminate() { m_stopRequested = true; }

private:
    void Wait()
    {
        m_executor.OnProcessStarted(m_mode, m_name);
        ProcessOutcome state = ProcessOutcome::Error;
        if (m_pid == -1) {
            LOG(INFO) << "Failed to start installer";
            m_cause = "installer could not be started: " + m_startError;
        } else if (m_mode == IProcessExecutorObserver::Run) {
            LOG(INFO) << "Application detached";
            state = ProcessOutcome::Success;
        } else {
            state = WaitForInstaller();
        }
        m_executor.OnProcessFinished(m_mode, m_name, state, m_cause);
    }

    ProcessOutcome WaitForInstaller()
    {
        const auto start = Clock::now();
        const auto limit = TimeLimit();
        for (;;) {
            {
                std::lock_guard<std::recursive_mutex> lock(m_mutex);
                ReadOutput();
                if (Reap()) {
                    break;
                }
            }
            if (m_stopRequested || Clock::now() - start >= limit) {
                break;
            }
            // Wakes early when the child writes or closes its output.
            pollfd descriptor{m_output, POLLIN, 0};
            poll(&descriptor, 1, static_cast<int>(kPollInterval.count()));
        }

        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!m_exited) {
            // Asked first, so the install script can remove its staging
            // folder; then ended, with everything it started.
            killpg(m_pid, SIGTERM);
            const auto graceEnd = Clock::now() + kTermGrace;
            while (!Reap() && Clock::now() < graceEnd) {
                ReadOutput();
                std::this_thread::sleep_for(kGracePoll);
            }
            if (!m_exited) {
                LOG(WARNING) << m_name << ": did not end within " << kTermGrace.count()
                             << " s of SIGTERM; killed";
                killpg(m_pid, SIGKILL);
                while (waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
                }
                m_exited = true;
            }
            LOG(INFO) << m_name
                      << (m_stopRequested ? ": process stopped" : ": process interrupted by timeout");
            m_cause = m_stopRequested ? std::string("installer stopped")
                                      : "installer did not finish within " +
                                            std::to_string(limit.count()) + " s";
            return ProcessOutcome::Error;
        }
        ReadOutput();
        FlushLine();
        int code = m_status;
        if (WIFEXITED(m_status)) {
            code = WEXITSTATUS(m_status);
            m_cause = "installer exited with code " + std::to_string(code);
        } else if (WIFSIGNALED(m_status)) {
            code = WTERMSIG(m_status);
            m_cause = "installer ended by signal " + std::to_string(code);
        }
        if (code == 0) {
            m_cause.clear();
        } else if (!m_lastLine.empty()) {
            m_cause += ": " + m_lastLine;
        }
        LOG(INFO) << m_name << ": process finished with exit code = " << code
                  << ", exit state = " << (code != 0 ? 1 : 0);
        return code == 0 ? ProcessOutcome::Success : ProcessOutcome::Error;
    }

    // Whether the child has ended; reaps it when it has.
    bool Reap()
    {
        if (m_exited) {
            return true;
        }
        // Seen ended but not yet reaped, its pid still names its group: what
        // it left running (it may have died of a signal mid-unpack) is
        // ended before the pid can be used again.
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid != m_pid || !IsEnd(info.si_code)) {
            return false;
        }
        if (m_mode == IProcessExecutorObserver::Install) {
            killpg(m_pid, SIGKILL);
        }
        const pid_t done = waitpid(m_pid, &m_status, WNOHANG);
        if (done == m_pid) {
            m_exited = true;
        }
        return m_exited;
    }

    // Reads what is available now, at most one pass of kMaxPass bytes so a
    // child that writes without pause cannot keep the lock (and with it the
    // time limit and the destructor) waiting. Lines end at a carriage
    // return; an endless line is logged in pieces.
    void ReadOutput()
    {
        constexpr std::size_t kMaxPass = 256 * 1024;
        constexpr std::size_t kMaxLine = 64 * 1024;
        char chunk[4096];
        std::size_t taken = 0;
        while (m_output >= 0 && taken < kMaxPass) {
            const ssize_t got = read(m_output, chunk, sizeof chunk);
            if (got == 0) {
                // The child closed its output; polling a closed pipe would
                // spin, so stop watching it.
                close(m_output);
                m_output = -1;
                return;
            }
            if (got < 0) {
                return;
            }
            taken += static_cast<std::size_t>(got);
            for (ssize_t i = 0; i < got; ++i) {
                if (chunk[i] == '\r') {
                    LogLine();
                } else {
                    m_line.push_back(chunk[i]);
                    if (m_line.size() >= kMaxLine) {
                        LogLine();
                    }
                }
            }
        }
    }

    void FlushLine()
    {
        if (!m_line.empty()) {
            LogLine();
        }
    }

    void LogLine()
    {
        LOG(INFO) << "process " << m_name << " wrote output:\n" << m_line;
        // The last line with text is what an installer says last: the
        // reason for its failure, as a rule.
        const std::size_t end = m_line.find_last_not_of(" \t\n");
        if (end != std::string::npos) {
            const std::size_t start = m_line.find_last_of('\n', end);
            m_lastLine = m_line.substr(start == std::string::npos ? 0 : start + 1,
                                       end - (start == std::string::npos ? 0 : start + 1) + 1);
        }
        m_line.clear();
    }

    IProcessExecutorObserver& m_executor;
    IProcessExecutorObserver::Mode m_mode;
    std::string m_name;
    int m_output = -1;
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_exited = false;
    std::atomic<bool> m_stopRequested{false};
    std::string m_line;
    std::string m_lastLine;
    std::string m_startError;
    std::string m_cause;
    std::recursive_mutex m_mutex;
    std::future<void> m_task;
};

struct Finished {
    IProcessExecutorObserver::Mode mode;
    std::string name;
    IProcessExecutorObserver::ProcessState state;
    std::string cause;
};

class ProcessExecutor : public IProcessExecutor, private IProcessExecutorObserver {
public:
    ProcessExecutor(IProcessExecutorObserver& observer, std::function<void()> onWorkQueued)
        : m_observer(observer), m_onWorkQueued(std::move(onWorkQueued))
    {
    }

    ~ProcessExecutor() override
    {
        for (auto& [name, process] : m_processes) {
            process->Terminate();
        }
        while (!m_processes.empty()) {
            {
                std::unique_lock<std::mutex> lock(m_finishedMutex);
                m_finishedChanged.wait_for(lock, std::chrono::milliseconds(100),
                                           [this] { return !m_finished.empty(); });
            }
            DoMainThreadWork();
        }
        boost::system::error_code error;
        boost::filesystem::remove(Util::ZentakPlistPath("install_env"), error);
    }

    void Execute(Mode mode, const std::string& name, const boost::filesystem::path& path,
                 const std::vector<std::string>&) override
    {
        const boost::filesystem::path scripts = Util::GetResourcesPath() / "resources" / "scripts";
        const Launcher launcher = TheLauncher();
        std::vector<std::string> arguments{launcher.runner, (scripts / launcher.script).string(),
                                           (scripts / "install.sh").string(), path.string(),
                                           path.parent_path().string()};
        AppendEnvironment(arguments);
        const std::string applications = Settings::GetPath(Settings::ID::InstallDir).string();

        IProcessExecutorObserver& self = *this;
        auto process = std::make_unique<Process>(self, mode, name);
        LOG(INFO) << "Creating process from command line "
                  << (applications.empty() ? std::string()
                                           : std::string(kApplicationsVariable) + "='" +
                                                 applications + "' ")
                  << QuotedCommandLine(arguments);
        process->Launch(arguments, ChildEnvironment(applications));
        m_processes[name] = std::move(process);
    }

    void DoMainThreadWork() override
    {
        std::list<Finished> finished;
        {
            std::lock_guard<std::mutex> lock(m_finishedMutex);
            finished.swap(m_finished);
        }
        for (Finished& end : finished) {
            auto it = m_processes.find(end.name);
            if (it != m_processes.end()) {
                m_processes.erase(it);
            }
            m_observer.OnProcessFinished(end.mode, end.name, end.state, end.cause);
        }
    }

private:
    // The Mac_Environment entries of the configuration go to the launcher
    // as key/value arguments and into the install environment plist.
    static void AppendEnvironment(std::vector<std::string>& arguments)
    {
        const std::string configFile = Settings::GetString(Settings::ID::ConfigFile);
        if (configFile.empty()) {
            return;
        }
        boost::property_tree::ptree tree;
        try {
            std::ifstream file(configFile, std::ios::in | std::ios::binary);
            Util::ReadIni(file, tree);
        } catch (const std::exception& error) {
            LOG(ERROR) << "Configuration " << configFile << " cannot be read: " << error.what();
        }
        try {
            auto environment = Util::CreateZentakPlistDictionary("install_env");
            for (const auto& [section, entries] : tree) {
                if (section != "Mac_Environment") {
                    continue;
                }
                for (const auto& [key, value] : entries) {
                    arguments.push_back(key);
                    arguments.push_back(value.data());
                    environment->SetString(key, value.data());
                }
            }
        } catch (const std::exception& error) {
            LOG(ERROR) << "Install environment plist cannot be written: " << error.what();
        }
    }

    void OnProcessStarted(Mode mode, const std::string& name) override
    {
        m_observer.OnProcessStarted(mode, name);
    }

    void OnProcessFinished(Mode mode, const std::string& name, ProcessState state,
                           const std::string& cause) override
    {
        {
            std::lock_guard<std::mutex> lock(m_finishedMutex);
            m_finished.push_back(Finished{mode, name, state, cause});
        }
        m_finishedChanged.notify_all();
        if (m_onWorkQueued) {
            m_onWorkQueued();
        }
    }

    IProcessExecutorObserver& m_observer;
    std::function<void()> m_onWorkQueued;
    std::map<std::string, std::unique_ptr<Process>> m_processes;
    std::list<Finished> m_finished;
    std::mutex m_finishedMutex;
    std::condition_variable m_finishedChanged;
};

} // namespace

std::unique_ptr<IProcessExecutor> GetProcessExecutor(IProcessExecutorObserver& observer,
                                                     std::function<void()> onWorkQueued)
{
    return std::make_unique<ProcessExecutor>(observer, std::move(onWorkQueued));
}

} // namespace Zentak
