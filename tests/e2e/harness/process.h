#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Zentak::E2e {

// Changes to this process's environment for a child: a name with a value
// sets it, a name without one removes it; everything else is inherited.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// How a child process ended and what it wrote.
struct ProcessResult {
    int exitCode = -1;   // the exit code when it exited, else -1
    int termSignal = 0;  // the signal that ended it, else 0
    bool timedOut = false; // killed by us when its time was up
    std::string out;     // standard output
    std::string err;     // standard error

    bool Exited() const { return exitCode >= 0; }
    // "exit code 3", "signal 9 (timed out)" ..., then the end of standard
    // error: for assertion messages.
    std::string Describe() const;
};

// Runs `argv` (argv[0] is looked up in PATH when it has no slash) with
// standard input from /dev/null, collects both outputs and waits for its
// end. A child that has not ended after `timeout` is killed together with
// its process group, and the result says so. Throws std::runtime_error when
// the process cannot be started. Callable from any thread.
ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvironmentChanges& env,
                         std::chrono::milliseconds timeout);

// A child that runs in the background while a test talks to it: its
// standard output is read line by line, its standard error goes to a file.
// The destructor stops it. Not copyable; used by one thread.
class BackgroundProcess {
public:
    // Throws std::runtime_error when the process cannot be started.
    BackgroundProcess(const std::vector<std::string>& argv, const EnvironmentChanges& env,
                      const std::filesystem::path& stderrFile);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // The next line of its standard output, without the line feed; nullopt
    // when none came within `timeout` or the output ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    // Waits, without signalling it, until it has ended or `timeout` passed;
    // its standard output is collected meanwhile for ReadLine. True when it
    // ended; Stop then returns how.
    bool WaitForExit(std::chrono::milliseconds timeout);

    // SIGTERM, then SIGKILL when it has not ended within `grace`. Returns how
    // it ended; later calls return the same result.
    ProcessResult Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    pid_t Pid() const { return m_pid; }

private:
    // Appends what its standard output has within `wait`.
    void ReadInto(std::string& buffer, std::chrono::milliseconds wait);

    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
    std::optional<ProcessResult> m_result;
};

} // namespace Zentak::E2e
