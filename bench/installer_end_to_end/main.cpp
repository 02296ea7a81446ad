// End-to-end benchmark of the built program against the development server:
//
//  1. install: the unattended program installs three packages of <size> MiB
//     (with and without sha256/size in the configuration), against, in the
//     same run, what a user would script instead: `curl --parallel` fetching
//     the same files, then `tar -xzf` unpacking each; median of the rounds;
//  2. peak resident memory of the program during those installs (VmHWM);
//  3. start-up: time from starting the program with a local configuration
//     (three packages whose size queries the server answers at once) to its
//     "Page: Start" line;
//  4. idle CPU: the program's CPU time while its start page waits for a
//     configuration that does not come (a server that accepts and stays
//     silent); the window itself is not built here, the console splash waits
//     in its place.
//
// Usage: installer_end_to_end [size MiB, default 256] [rounds, default 3]
//
// Everything happens in a temporary folder that is removed at the end.
#include <algorithm>
#include <atomic>
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
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/bench_support.h"

namespace {

using namespace Zentak::Bench;

// A server that accepts connections and never answers.
class SilentServer {
public:
    SilentServer()
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(m_listener, 16) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            Die("silent server: cannot listen");
        }
        port = ntohs(address.sin_port);
    }
    ~SilentServer() { close(m_listener); }
    int port = 0;

private:
    int m_listener = -1; // the backlog holds the connections; nothing reads them
};

} // namespace

int main(int argc, char** argv)
{
    const long sizeMiB = argc > 1 ? std::atol(argv[1]) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (sizeMiB <= 0 || rounds <= 0) {
        std::cerr << "usage: installer_end_to_end [size MiB] [rounds]\n";
        return 2;
    }
    const fs::path program = fs::path(ZENTAK_BUNDLE_DIR) / "Contents" / "MacOS" / "installer";
    const fs::path installScript = fs::path(ZENTAK_BUNDLE_DIR) / "Contents" / "Resources" /
                                   "resources" / "scripts" / "install.sh";
    const fs::path root = MakeBenchFolder("zentak-bench-e2e");
    const fs::path content = root / "content";

    // Packages: an application folder with a random filler, as a gzip tar.
    std::cout << "Making 3 packages of " << sizeMiB << " MiB in " << root << " ..." << std::endl;
    std::vector<std::string> ids;
    for (int i = 1; i <= 3; ++i) {
        MakeAppPackage(root / "make", "Bench" + std::to_string(i), sizeMiB,
                       content / "packages" / ("bench" + std::to_string(i) + ".tar.gz"));
        ids.push_back("bench" + std::to_string(i));
    }

    // The development server.
    std::string base;
    auto server = StartDevServer(root, {}, base);

    const auto writeConfig = [&](const fs::path& path, bool checked) {
        std::ofstream config(path);
        config << "[Product]\nversion = 1.0\nbuild_name = bench\nmodule_name = bench\n\n";
        int order = 0;
        for (const std::string& id : ids) {
            const fs::path file = content / "packages" / (id + ".tar.gz");
            config << "[Installer]\nid = " << id << "\nurl = " << base << "/content/packages/" << id
                   << ".tar.gz\ninstall_order = " << ++order << "\n";
            if (checked) {
                config << "sha256 = " << Sha256OfFile(file) << "\nsize = " << fs::file_size(file)
                       << "\n";
            }
            config << "\n";
        }
        config << "[Statistics]\nurl = " << base << "/stats\nid = bench\n\n"
               << "[Mac_Environment]\nbundle_name = Bench1\nbundle_version = 1.0\n";
    };
    writeConfig(root / "plain.ini", false);
    writeConfig(root / "checked.ini", true);

    const fs::path home = root / "home";
    const fs::path runs = root / "runs";
    const auto env = ProgramEnvironment(home, runs, base);

    // 1 and 2: installs.
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, long> peaks;
    const auto runProgram = [&](const std::string& label, const fs::path& config) {
        fs::remove_all(home / "Applications");
        Child installer({program.string(), "--unattended", "--config-file=" + config.string()}, env);
        long peak = 0;
        const int code = installer.Drain(peak);
        if (code != 0) {
            Die(label + ": the program exited with " + std::to_string(code));
        }
        for (int i = 1; i <= 3; ++i) {
            const std::string name = "Bench" + std::to_string(i);
            if (fs::file_size(home / "Applications" / (name + ".app") / "Contents" / "Resources" /
                              "filler.bin") != static_cast<uintmax_t>(sizeMiB) * 1024 * 1024) {
                Die(label + ": " + name + " not installed whole");
            }
        }
        times[label].push_back(Seconds(installer.ended - installer.started));
        // The console splash turns to the wait page when every download is in.
        const auto wait = installer.lineTimes.find("Page: Wait");
        if (wait == installer.lineTimes.end()) {
            Die(label + ": no \"Page: Wait\" line");
        }
        times[label + " downloads"].push_back(Seconds(wait->second - installer.started));
        peaks[label] = std::max(peaks[label], peak);
    };
    const auto runScript = [&]() {
        const fs::path downloads = root / "script";
        fs::remove_all(downloads);
        fs::create_directories(downloads / "Applications");
        std::string fetch = "curl -sS --no-progress-meter --fail --parallel --parallel-max 3";
        for (const std::string& id : ids) {
            fetch += " -o " + Quote(downloads / (id + ".tar.gz")) + " " + base +
                     "/content/packages/" + id + ".tar.gz";
        }
        const auto start = Clock::now();
        if (Shell(fetch) != 0) {
            Die("the script failed: " + fetch);
        }
        const auto fetched = Clock::now();
        for (const std::string& id : ids) {
            const auto unpacking = Clock::now();
            if (Shell("tar -xzf " + Quote(downloads / (id + ".tar.gz")) + " -C " +
                      Quote(downloads / "Applications")) != 0) {
                Die("tar failed for " + id);
            }
            times["tar -xzf, one package"].push_back(Seconds(Clock::now() - unpacking));
        }
        times["script"].push_back(Seconds(Clock::now() - start));
        times["script downloads"].push_back(Seconds(fetched - start));
        // The program's launcher script on the same file, for comparison.
        fs::remove_all(home / "Applications");
        const auto installing = Clock::now();
        if (Shell("HOME=" + Quote(home) + " /bin/sh " + Quote(installScript) + " " +
                  Quote(downloads / (ids[0] + ".tar.gz")) + " " + Quote(downloads) +
                  " >/dev/null") != 0) {
            Die("install.sh failed");
        }
        times["install.sh, one package"].push_back(Seconds(Clock::now() - installing));
        fs::remove_all(home / "Applications");
    };
    for (int round = 0; round < rounds; ++round) {
        // Alternating order, so that neither side always runs on a warmer cache.
        const int shift = round % 3;
        for (int step = 0; step < 3; ++step) {
            switch ((step + shift) % 3) {
            case 0: runProgram("program", root / "plain.ini"); break;
            case 1: runProgram("program, sha256+size", root / "checked.ini"); break;
            default: runScript(); break;
            }
        }
        std::cout << "round " << round + 1 << ": program " << std::fixed << std::setprecision(2)
                  << times["program"].back() << " s (downloads "
                  << times["program downloads"].back() << " s), with sha256+size "
                  << times["program, sha256+size"].back() << " s (downloads "
                  << times["program, sha256+size downloads"].back() << " s), curl + tar "
                  << times["script"].back() << " s (curl " << times["script downloads"].back()
                  << " s)" << std::endl;
    }
    fs::remove_all(root / "script");
    fs::remove_all(home / "Applications");

    // 3: start-up to the start page, with size queries the server answers at once.
    std::vector<double> startup;
    for (int round = 0; round < 10; ++round) {
        Child installer({program.string(), "--unattended", "--config-file=" + (root / "plain.ini").string()},
                        env);
        std::optional<double> at;
        while (const auto line = installer.ReadLine(std::chrono::seconds(10))) {
            if (*line == "Page: Start") {
                at = Seconds(Clock::now() - installer.started);
                break;
            }
        }
        // The unattended run goes on to install; end it as a user would.
        kill(installer.pid, SIGTERM);
        long ignored = 0;
        installer.Drain(ignored);
        if (!at) {
            Die("no \"Page: Start\" line");
        }
        startup.push_back(*at * 1000);
    }
    fs::remove_all(home / "Applications");

    // 4: idle CPU while the start page waits for a configuration.
    SilentServer silent;
    double idleCpu = 0;
    double idleLogicCpu = 0;
    const double window = 10;
    {
        Child installer({program.string(), "--unattended",
                         "--config-url=http://127.0.0.1:" + std::to_string(silent.port) + "/config.ini"},
                        env);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double before = installer.CpuSeconds();
        const double logicBefore = installer.CpuSeconds("logic");
        std::this_thread::sleep_for(std::chrono::duration<double>(window));
        idleCpu = installer.CpuSeconds() - before;
        // The logic thread blocks on its wake-up signal; a spinning loop
        // would use a whole core here.
        idleLogicCpu = installer.CpuSeconds("logic") - logicBefore;
        kill(installer.pid, SIGTERM);
        long ignored = 0;
        installer.Drain(ignored);
    }

    server.reset();
    fs::remove_all(root);

    const double script = Median(times["script"]);
    const double scriptDownloads = Median(times["script downloads"]);
    const auto line = [&](const std::string& label, const std::string& key, double reference) {
        std::cout << "  " << std::left << std::setw(44) << label << std::right << std::fixed
                  << std::setprecision(2) << Median(times[key]) << " s";
        if (reference > 0) {
            std::cout << "   ratio " << Median(times[key]) / reference;
        }
        std::cout << "\n";
    };
    std::cout << "\nThree packages of " << sizeMiB << " MiB, " << rounds << " rounds, medians:\n";
    line("program, whole install", "program", script);
    line("program with sha256+size, whole install", "program, sha256+size", script);
    line("curl --parallel + tar -xzf", "script", 0);
    line("program, start to the end of the downloads", "program downloads", scriptDownloads);
    line("program with sha256+size, same", "program, sha256+size downloads", scriptDownloads);
    line("curl --parallel alone", "script downloads", 0);
    line("install.sh, one package", "install.sh, one package", Median(times["tar -xzf, one package"]));
    line("tar -xzf, one package", "tar -xzf, one package", 0);
    std::cout << std::fixed << std::setprecision(1)
              << "  peak RSS of the program                     " << peaks["program"] / 1024.0
              << " MiB (with sha256: " << peaks["program, sha256+size"] / 1024.0 << " MiB)\n"
              << "  start to \"Page: Start\" (10 runs)            median " << Median(startup)
              << " ms, max " << *std::max_element(startup.begin(), startup.end()) << " ms\n"
              << std::setprecision(3)
              << "  CPU while the start page waits              " << idleCpu << " s in " << window
              << " s (" << idleCpu / window * 100 << " % of a core)\n"
              << "  of it, the logic thread                     " << idleLogicCpu << " s\n";
    return 0;
}
