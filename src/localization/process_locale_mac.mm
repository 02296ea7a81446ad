#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glog/logging.h>

#include "localization/process_locale_platform.h"
#include "utils/posix_compat.h"

extern char** environ;

namespace Zentak::Util {
namespace {

// -1 when the child could not be waited for, the signal number when a
// signal ended it, its exit status otherwise.
int WaitForExitCode(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        return WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The system's own tool, by its full path: a "defaults" earlier on the
// search path of whoever started us is not what we mean to run.
constexpr const char* kDefaultsTool = "/usr/bin/defaults";

// Runs the "defaults" tool with `arguments` and returns its exit code, -1
// when it does not start. With `firstLine`, its standard output goes to a
// pipe and the first line lands there; the rest is read and dropped so that
// a talkative child never blocks on a full pipe.
int RunDefaults(const std::vector<std::string>& arguments, std::string* firstLine)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("defaults"));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    if (firstLine) {
        std::lock_guard<std::mutex> lock(ForkMutex());
        if (PipeCloseOnExec(pipeEnds) != 0) {
            LOG(INFO) << "Failed to create a pipe for defaults " << arguments.front();
            return -1;
        }
    }
    // The child gets its standard descriptors and nothing else of ours:
    // whatever other threads hold open (sockets, pipes of other children,
    // the lock files of plists) must not live on in it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (firstLine) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addinherit_np(&actions, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_CLOEXEC_DEFAULT));

    pid_t pid = 0;
    const int spawnError =
        posix_spawn(&pid, kDefaultsTool, &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (firstLine) {
        close(pipeEnds[1]);
    }
    if (spawnError != 0) {
        LOG(INFO) << "Failed to start " << kDefaultsTool << " " << arguments.front() << ": error "
                  << spawnError;
        if (firstLine) {
            close(pipeEnds[0]);
        }
        return -1;
    }

    if (firstLine) {
        firstLine->clear();
        bool lineComplete = false;
        char buffer[512];
        for (;;) {
            const ssize_t count = read(pipeEnds[0], buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            for (ssize_t i = 0; i < count && !lineComplete; ++i) {
                if (buffer[i] == '\n') {
                    lineComplete = true;
                } else {
                    firstLine->push_back(buffer[i]);
                }
            }
        }
        close(pipeEnds[0]);
    }
    return WaitForExitCode(pid);
}

} // namespace

bool WriteLocalePreference(const std::string& path, const std::string& value)
{
    std::string output;
    const int writeExitCode = RunDefaults({"write", path, "locale", value}, &output);
    LOG(INFO) << "defaults write output: " << output;
    LOG(INFO) << "defaults write exitCode: " << writeExitCode;
    if (writeExitCode != 0) {
        return false;
    }
    const int readExitCode = RunDefaults({"read", path}, nullptr);
    if (readExitCode != 0) {
        LOG(INFO) << "defaults read " << path << " failed with exit code " << readExitCode;
        return false;
    }
    return true;
}

} // namespace Zentak::Util
