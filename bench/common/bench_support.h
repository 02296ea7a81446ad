#pragma once

// Pieces the end-to-end benchmarks share: timing, a child process whose
// output is read line by line while its memory is sampled, and a few shell
// helpers. Linux only (/proc, pipe2, posix_spawn).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

extern char** environ;

namespace Zentak::Bench {

namespace fs = std::filesystem;

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

[[noreturn]] inline void Die(const std::string& text)
{
    std::cerr << program_invocation_short_name << ": " << text << std::endl;
    std::exit(1);
}

// A fresh folder "<prefix>-XXXXXX" in the temporary folder, with an empty
// content/packages folder for the development server.
inline fs::path MakeBenchFolder(const std::string& prefix)
{
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        Die("mkdtemp failed");
    }
    fs::create_directories(fs::path(pattern) / "content" / "packages");
    return pattern;
}

inline std::string Sha256OfFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> block(1 << 20);
    while (file) {
        file.read(block.data(), static_cast<std::streamsize>(block.size()));
        EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(file.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    std::ostringstream hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(digest[i]);
    }
    return hex.str();
}

// A child process whose standard output the parent reads line by line.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env)
    {
        std::map<std::string, std::string> variables;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            const size_t equals = text.find('=');
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
        for (const auto& [name, value] : env) {
            if (value) {
                variables[name] = *value;
            } else {
                variables.erase(name);
            }
        }
        std::vector<std::string> envText;
        for (const auto& [name, value] : variables) {
            envText.push_back(name + "=" + value);
        }
        std::vector<char*> envp;
        for (std::string& text : envText) {
            envp.push_back(text.data());
        }
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (std::string& arg : args) {
            argp.push_back(arg.data());
        }
        argp.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            Die("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        started = Clock::now();
        const int error = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (error != 0) {
            Die("cannot start " + argv[0] + ": " + std::strerror(error));
        }
        m_out = out[0];
    }
    ~Child()
    {
        if (!m_waited) {
            kill(pid, SIGKILL);
            Wait();
        }
        close(m_out);
    }

    // The next line, or nothing when none came within `limit` or the output ended.
    std::optional<std::string> ReadLine(Clock::duration limit)
    {
        const auto deadline = Clock::now() + limit;
        while (true) {
            const size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd fd{m_out, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 100))) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t count = read(m_out, chunk, sizeof(chunk));
            if (count <= 0) {
                return std::nullopt;
            }
            m_buffer.append(chunk, static_cast<size_t>(count));
        }
    }

    // Reads output until it ends (so the child never blocks on a full pipe),
    // noting when each line came and sampling VmHWM meanwhile; then reaps
    // the child.
    int Drain(long& peakKiB)
    {
        while (true) {
            peakKiB = std::max(peakKiB, HighWaterKiB());
            pollfd fd{m_out, POLLIN, 0};
            if (poll(&fd, 1, 20) > 0) {
                char chunk[4096];
                const ssize_t count = read(m_out, chunk, sizeof(chunk));
                if (count <= 0) {
                    break;
                }
                m_buffer.append(chunk, static_cast<size_t>(count));
                for (size_t end = m_buffer.find('\n'); end != std::string::npos;
                     end = m_buffer.find('\n')) {
                    lineTimes.emplace(m_buffer.substr(0, end), Clock::now());
                    m_buffer.erase(0, end + 1);
                }
            }
        }
        return Wait();
    }

    // The first moment each line of standard output arrived (Drain only).
    std::map<std::string, Clock::time_point> lineTimes;

    int Wait()
    {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_waited = true;
        ended = Clock::now();
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The high-water mark of the resident set so far, in KiB (0 once gone).
    long HighWaterKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::strtol(line.c_str() + 6, nullptr, 10);
            }
        }
        return 0;
    }

    // CPU time of the child's threads so far, in seconds: all of them, or
    // only the one named `thread`.
    double CpuSeconds(const std::string& thread = {}) const
    {
        double total = 0;
        std::error_code error;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
            if (!thread.empty()) {
                std::ifstream comm(task.path() / "comm");
                std::string name;
                std::getline(comm, name);
                if (name != thread) {
                    continue;
                }
            }
            std::ifstream schedstat(task.path() / "schedstat");
            unsigned long long nanoseconds = 0;
            schedstat >> nanoseconds;
            total += static_cast<double>(nanoseconds) / 1e9;
        }
        return total;
    }

    pid_t pid = -1;
    Clock::time_point started;
    Clock::time_point ended;

private:
    int m_out = -1;
    std::string m_buffer;
    bool m_waited = false;
};

inline int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const fs::path& path)
{
    return "'" + path.string() + "'";
}

// Makes `package`: <name>.app holding a program and `mebibytes` of random
// filler (random bytes do not compress: the package is as large as its
// filler), as a gzip tar. Works in `scratch`, which it removes.
inline void MakeAppPackage(const fs::path& scratch, const std::string& name, long mebibytes,
                           const fs::path& package)
{
    const fs::path app = scratch / (name + ".app") / "Contents";
    fs::create_directories(app / "MacOS");
    fs::create_directories(app / "Resources");
    std::ofstream(app / "MacOS" / name) << "#!/bin/sh\nexit 0\n";
    fs::permissions(app / "MacOS" / name,
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    if (Shell("head -c " + std::to_string(mebibytes) + "M /dev/urandom > " +
              Quote(app / "Resources" / "filler.bin") + " && tar -C " + Quote(scratch) +
              " -cf - " + name + ".app | gzip -1 > " + Quote(package)) != 0) {
        Die("cannot make " + package.string());
    }
    fs::remove_all(scratch);
}

// The development server over `root`/content (its state in `root`/state),
// with `extraArgs`; `base` is set to the address it listens on.
inline std::unique_ptr<Child> StartDevServer(const fs::path& root,
                                             const std::vector<std::string>& extraArgs,
                                             std::string& base)
{
    const fs::path devserver = fs::path(ZENTAK_SOURCE_DIR) / "tools" / "devserver" / "devserver.py";
    std::vector<std::string> argv{"python3", devserver.string(), "--root", (root / "content").string(),
                                  "--state", (root / "state").string(), "--port", "0"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    auto server = std::make_unique<Child>(argv, std::map<std::string, std::optional<std::string>>{});
    const std::string listening = "devserver listening on ";
    const auto first = server->ReadLine(std::chrono::seconds(10));
    if (!first || first->rfind(listening, 0) != 0) {
        Die("the development server did not start");
    }
    base = first->substr(listening.size());
    return server;
}

// The program's environment for a run against the server at `base`: its own
// HOME and TMPDIR, no display, no proxy.
inline std::map<std::string, std::optional<std::string>> ProgramEnvironment(const fs::path& home,
                                                                            const fs::path& runs,
                                                                            const std::string& base)
{
    fs::create_directories(home);
    fs::create_directories(runs);
    std::map<std::string, std::optional<std::string>> env = {
        {"HOME", home.string()}, {"TMPDIR", runs.string()}, {"DISPLAY", std::nullopt},
        {"ZENTAK_UID_SERVICE_URL", base + "/api/v1/uid"}};
    for (const char* proxy :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        env[proxy] = std::nullopt;
    }
    return env;
}

} // namespace Zentak::Bench
