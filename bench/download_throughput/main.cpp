// Download engine benchmark: throughput against the curl tool, peak memory,
// stop latency and idle CPU, all over loopback from a sendfile server.
//
// Usage: download_throughput [size in MiB, default 256] [rounds, default 3]
//
// Every measurement of the engine runs in a child process of its own, so that
// peak memory and CPU time belong to that measurement alone; the parent stays
// single-threaded so that forking it is safe.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glog/logging.h>

#include "logic/downloader/downloader.h"
#include "sendfile_server.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
constexpr double kMiB = 1024.0 * 1024.0;

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

// The owner side of a downloader, as the installer's logic loop runs it:
// pump, then sleep on the wake-up signal.
class Owner : public Zentak::IDownloaderEvents {
public:
    Owner() : downloader(*this, [this] { Raise(); }) {}

    void OnItemDownloadStarted(const std::string&, unsigned long long) override {}
    void OnItemProgressUpdated(const std::string&, unsigned long long, unsigned long long,
                               unsigned char) override
    {
    }
    void OnItemDownloadFinished(const std::string&, unsigned long long) override {}
    void OnWorkStarted(unsigned long long) override {}
    void OnWorkProgressUpdated(unsigned long long, unsigned long long, unsigned char percent) override
    {
        batchPercent = percent;
    }
    void OnWorkFinished(unsigned long long) override { ended = finished = true; }
    void OnWorkFailed(unsigned long long, unsigned long long, std::string text) override
    {
        ended = true;
        error = text.empty() ? "stopped" : text;
    }

    // Pumps until `done` holds or `limit` passes.
    void PumpUntil(const std::function<bool()>& done, Clock::duration limit)
    {
        const auto deadline = Clock::now() + limit;
        while (!done() && Clock::now() < deadline) {
            Wait(std::chrono::milliseconds(250));
            downloader.DoMainThreadWork();
        }
    }

    Zentak::Downloader downloader;
    bool ended = false;
    bool finished = false;
    int batchPercent = 0;
    std::string error;

private:
    void Raise()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_raised = true;
        }
        m_signal.notify_one();
    }
    void Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_signal.wait_for(lock, timeout, [this] { return m_raised; });
        m_raised = false;
    }

    std::mutex m_mutex;
    std::condition_variable m_signal;
    bool m_raised = false;
};

std::vector<Zentak::DownloadItem> Items(const std::vector<std::string>& urls,
                                        const std::vector<std::string>& paths)
{
    std::vector<Zentak::DownloadItem> items;
    for (size_t i = 0; i < urls.size(); ++i) {
        Zentak::DownloadItem item;
        item.name = fs::path(paths[i]).filename().string();
        item.url = urls[i];
        item.path = paths[i];
        item.stream = std::make_unique<std::ofstream>(
            paths[i], std::ios::out | std::ios::trunc | std::ios::binary);
        items.push_back(std::move(item));
    }
    return items;
}

struct ChildRun {
    bool ok = false;
    double maxRssMiB = 0;
    double cpuSeconds = 0;
    std::string output;
};

// Runs `body` in a forked child and returns what it printed, its peak
// resident memory and its CPU time.
ChildRun InChild(const std::function<std::string()>& body)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return {};
    }
    std::fflush(nullptr); // or the child would print the parent's buffered lines again
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        std::string text;
        int code = 0;
        try {
            text = body();
        } catch (const std::exception& error) {
            text = std::string("error: ") + error.what();
            code = 1;
        }
        if (write(pipeEnds[1], text.data(), text.size()) < 0) {
            code = 1;
        }
        std::fflush(nullptr);
        _exit(code);
    }
    close(pipeEnds[1]);
    ChildRun run;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeEnds[0], buffer, sizeof(buffer))) > 0) {
        run.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.maxRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.cpuSeconds = Seconds(std::chrono::seconds(usage.ru_utime.tv_sec) +
                             std::chrono::microseconds(usage.ru_utime.tv_usec) +
                             std::chrono::seconds(usage.ru_stime.tv_sec) +
                             std::chrono::microseconds(usage.ru_stime.tv_usec));
    return run;
}

// The engine downloading `urls` in one batch; prints the seconds it took.
ChildRun EngineBatch(const std::vector<std::string>& urls, const std::vector<std::string>& paths)
{
    return InChild([&] {
        Owner owner;
        const auto start = Clock::now();
        owner.downloader.Download(Items(urls, paths));
        owner.PumpUntil([&] { return owner.ended; }, std::chrono::minutes(5));
        const double seconds = Seconds(Clock::now() - start);
        if (!owner.finished) {
            throw std::runtime_error("batch failed: " + owner.error);
        }
        return std::to_string(seconds);
    });
}

ChildRun CurlBatch(const std::vector<std::string>& urls, const std::vector<std::string>& paths)
{
    std::vector<std::string> arguments = {"curl", "--parallel", "--parallel-max",
                                          std::to_string(urls.size()), "--silent", "--no-progress-meter",
                                          "--show-error",
                                          "--fail", "--noproxy", "*"};
    for (size_t i = 0; i < urls.size(); ++i) {
        arguments.push_back("-o");
        arguments.push_back(paths[i]);
        arguments.push_back(urls[i]);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp("curl", argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    ChildRun run;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.output = std::to_string(Seconds(Clock::now() - start));
    run.maxRssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return run;
}

bool SameFiles(const std::vector<std::string>& sources, const std::vector<std::string>& copies)
{
    for (size_t i = 0; i < sources.size(); ++i) {
        std::error_code error;
        if (fs::file_size(copies[i], error) != fs::file_size(sources[i], error) || error) {
            return false;
        }
        std::ifstream a(sources[i], std::ios::binary);
        std::ifstream b(copies[i], std::ios::binary);
        std::vector<char> x(1 << 20);
        std::vector<char> y(1 << 20);
        while (a.read(x.data(), static_cast<std::streamsize>(x.size())) || a.gcount() > 0) {
            b.read(y.data(), static_cast<std::streamsize>(y.size()));
            if (a.gcount() != b.gcount() ||
                std::memcmp(x.data(), y.data(), static_cast<size_t>(a.gcount())) != 0) {
                return false;
            }
        }
    }
    return true;
}

void MakeFile(const fs::path& path, size_t size, unsigned seed)
{
    std::vector<char> block(1 << 20);
    unsigned value = seed;
    for (char& c : block) {
        value = value * 1103515245u + 12345u;
        c = static_cast<char>(value >> 16);
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (size_t written = 0; written < size; written += block.size()) {
        block[0] = static_cast<char>(written >> 20); // no two blocks alike
        file.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
    }
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

std::string CpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown";
}

} // namespace

int main(int argc, char** argv)
{
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = google::GLOG_WARNING;
    const size_t sizeMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const size_t smallMiB = 64;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }

    std::string pattern = (fs::temp_directory_path() / "zentak-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = pattern;
    const fs::path served = root / "served";
    const fs::path received = root / "received";
    fs::create_directories(served);
    fs::create_directories(received);

    std::vector<std::string> large;
    std::vector<std::string> small;
    for (unsigned i = 0; i < 3; ++i) {
        const std::string name = "large" + std::to_string(i) + ".bin";
        MakeFile(served / name, sizeMiB << 20, i + 1);
        large.push_back(name);
        const std::string smallName = "small" + std::to_string(i) + ".bin";
        MakeFile(served / smallName, smallMiB << 20, i + 11);
        small.push_back(smallName);
    }

    int portPipe[2];
    if (pipe(portPipe) != 0) {
        return 1;
    }
    std::fflush(nullptr);
    const pid_t server = fork();
    if (server == 0) {
        close(portPipe[0]);
        Zentak::Bench::RunSendfileServer(served.string() + "/", portPipe[1]);
    }
    close(portPipe[1]);
    int port = 0;
    if (read(portPipe[0], &port, sizeof(port)) != static_cast<ssize_t>(sizeof(port))) {
        std::cerr << "the file server did not start\n";
        return 1;
    }
    close(portPipe[0]);

    const auto urlsOf = [&](const std::vector<std::string>& names, const std::string& prefix) {
        std::vector<std::string> urls;
        std::vector<std::string> paths;
        for (const std::string& name : names) {
            urls.push_back("http://127.0.0.1:" + std::to_string(port) + "/" + name);
            paths.push_back((received / (prefix + name)).string());
        }
        return std::make_pair(urls, paths);
    };
    std::vector<std::string> sources;
    for (const std::string& name : large) {
        sources.push_back((served / name).string());
    }

    std::printf("machine: %u cores, %s\n", std::thread::hardware_concurrency(), CpuModel().c_str());
    std::printf("batch: 3 files of %zu MiB over loopback from a sendfile server, %d rounds\n",
                sizeMiB, rounds);

    const double batchMiB = 3.0 * static_cast<double>(sizeMiB);
    std::vector<double> engineRates;
    std::vector<double> curlRates;
    std::vector<double> engineRss;
    double curlRss = 0;
    bool allGood = true;
    for (int round = 1; round <= rounds; ++round) {
        // Alternate who goes first, so that neither always meets a warmer cache.
        const bool engineFirst = round % 2 == 1;
        {
            for (int turn = 0; turn < 2; ++turn) {
                const bool engine = (turn == 0) == engineFirst;
                const auto [urls, paths] = urlsOf(large, engine ? "engine-" : "curl-");
                const ChildRun run = engine ? EngineBatch(urls, paths) : CurlBatch(urls, paths);
                const bool intact = run.ok && SameFiles(sources, paths);
                allGood = allGood && intact;
                const double seconds = run.ok ? std::stod(run.output) : 0;
                const double rate = seconds > 0 ? batchMiB / seconds : 0;
                std::printf("  round %d %-6s %7.3f s %8.1f MiB/s  peak RSS %6.1f MiB%s\n", round,
                            engine ? "engine" : "curl", seconds, rate, run.maxRssMiB,
                            intact ? "" : ("  FAILED " + run.output).c_str());
                (engine ? engineRates : curlRates).push_back(rate);
                if (engine) {
                    engineRss.push_back(run.maxRssMiB);
                } else {
                    curlRss = std::max(curlRss, run.maxRssMiB);
                }
                for (const std::string& path : paths) {
                    fs::remove(path);
                }
            }
        }
    }
    const double engineRate = Median(engineRates);
    const double curlRate = Median(curlRates);
    std::printf("throughput (median): engine %.1f MiB/s, curl --parallel %.1f MiB/s, ratio %.3f\n",
                engineRate, curlRate, curlRate > 0 ? engineRate / curlRate : 0.0);

    {
        const auto [urls, paths] = urlsOf(small, "engine-");
        const ChildRun run = EngineBatch(urls, paths);
        std::printf("peak RSS of the engine: 3 x %zu MiB %.1f MiB, 3 x %zu MiB %.1f MiB "
                    "(curl: %.1f MiB)\n",
                    smallMiB, run.maxRssMiB, sizeMiB, *std::max_element(engineRss.begin(), engineRss.end()),
                    curlRss);
        allGood = allGood && run.ok;
        for (const std::string& path : paths) {
            fs::remove(path);
        }
    }

    // Stop latency: the downloader destroyed while all three transfers run,
    // once into new files and once rewriting files that already exist (a
    // retry into the same paths). ext4 starts the write-back of a file
    // rewritten through O_TRUNC when it is closed, and the stop closes them.
    for (const bool rewrite : {false, true}) {
        const auto [urls, paths] = urlsOf(large, "stop-");
        const ChildRun run = InChild([&, urls = urls, paths = paths] {
            std::ostringstream text;
            for (int i = 0; i < 5; ++i) {
                if (!rewrite) {
                    for (const std::string& path : paths) {
                        fs::remove(path);
                    }
                }
                auto owner = std::make_unique<Owner>();
                owner->downloader.Download(Items(urls, paths));
                owner->PumpUntil([&] { return owner->batchPercent >= 20 || owner->ended; },
                                 std::chrono::seconds(30));
                if (owner->ended) {
                    throw std::runtime_error("the batch ended before the stop: " + owner->error);
                }
                const auto start = Clock::now();
                owner.reset();
                text << Seconds(Clock::now() - start) * 1000.0 << " ";
            }
            return text.str();
        });
        std::istringstream values(run.output);
        std::vector<double> stops;
        double value;
        while (values >> value) {
            stops.push_back(value);
        }
        allGood = allGood && run.ok && stops.size() == 5;
        std::printf("stop mid-transfer, %s (5 stops at about 20 %%): median %.1f ms, max %.1f ms\n",
                    rewrite ? "rewriting existing files" : "new files", Median(stops),
                    stops.empty() ? 0.0 : *std::max_element(stops.begin(), stops.end()));
        for (const std::string& path : paths) {
            fs::remove(path);
        }
    }

    // Idle CPU: a batch waiting on a server that sends nothing.
    {
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/stall";
        const std::string path = (received / "stall.bin").string();
        const ChildRun run = InChild([&] {
            Owner owner;
            owner.downloader.Download(Items({url}, {path}));
            owner.PumpUntil([] { return false; }, std::chrono::milliseconds(300));
            rusage before{};
            getrusage(RUSAGE_SELF, &before);
            const auto start = Clock::now();
            owner.PumpUntil([&] { return owner.ended; }, std::chrono::seconds(2));
            rusage after{};
            getrusage(RUSAGE_SELF, &after);
            const auto cpu = [](const rusage& u) {
                return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
            };
            std::ostringstream text;
            text << cpu(after) - cpu(before) << " " << Seconds(Clock::now() - start) << " "
                 << (owner.ended ? "ended:" + owner.error : "waiting");
            return text.str();
        });
        std::istringstream values(run.output);
        double cpu = 0;
        double wall = 0;
        std::string state;
        values >> cpu >> wall >> state;
        std::printf("idle CPU waiting on a stalled server: %.3f s over %.1f s (%s)\n", cpu, wall,
                    state.c_str());
        allGood = allGood && run.ok && state == "waiting";
        fs::remove(path);
    }

    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    fs::remove_all(root);
    if (!allGood) {
        std::printf("some transfers failed or arrived damaged\n");
        return 1;
    }
    return 0;
}
