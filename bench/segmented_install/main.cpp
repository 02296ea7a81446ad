// Segmented downloads where one connection is slow: the development server
// limits every transfer (every connection) to <rate> KiB/s and serves ranges;
// two packages of 24 MiB and 256 MiB. In the same run, in alternating order:
//
//  - the program's whole unattended install (local configuration with
//    sha256 and size) with [Product] connections = 4, and with 1;
//  - `curl --parallel` fetching the same two URLs (what a user would script);
//
// and the ratios of the program's times to curl's. The program's peak memory
// (VmHWM) is sampled while it runs.
//
// Usage: segmented_install [rate KiB/s per connection, default 4096] [rounds, default 3]
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/bench_support.h"

using namespace Zentak::Bench;

int main(int argc, char** argv)
{
    const long rateKiB = argc > 1 ? std::atol(argv[1]) : 4096;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (rateKiB <= 0 || rounds <= 0) {
        std::cerr << "usage: segmented_install [rate KiB/s] [rounds]\n";
        return 2;
    }
    const fs::path program = fs::path(ZENTAK_BUNDLE_DIR) / "Contents" / "MacOS" / "installer";
    const fs::path root = MakeBenchFolder("zentak-bench-seg");
    const fs::path content = root / "content";

    const std::vector<std::pair<std::string, long>> packages = {{"Small", 24}, {"Large", 256}};
    std::cout << "Making packages of 24 and 256 MiB in " << root << " ..." << std::endl;
    for (const auto& [name, mebibytes] : packages) {
        MakeAppPackage(root / "make", name, mebibytes, content / "packages" / (name + ".tar.gz"));
    }

    std::string base;
    const auto server = StartDevServer(root, {"--content-rate", std::to_string(rateKiB)}, base);
    const auto urlOf = [&](const std::string& name) {
        return base + "/content/packages/" + name + ".tar.gz";
    };

    const auto writeConfig = [&](const fs::path& path, int connections) {
        std::ofstream config(path);
        config << "[Product]\nversion = 1.0\nbuild_name = bench\nmodule_name = bench\n"
               << "connections = " << connections << "\n\n";
        int order = 0;
        for (const auto& [name, mebibytes] : packages) {
            const fs::path file = content / "packages" / (name + ".tar.gz");
            config << "[Installer]\nid = " << name << "\nurl = " << urlOf(name)
                   << "\ninstall_order = " << ++order << "\nsha256 = " << Sha256OfFile(file)
                   << "\nsize = " << fs::file_size(file) << "\n\n";
        }
        config << "[Statistics]\nurl = " << base << "/stats\nid = bench\n\n"
               << "[Mac_Environment]\nbundle_name = Large\nbundle_version = 1.0\n";
    };
    writeConfig(root / "four.ini", 4);
    writeConfig(root / "one.ini", 1);

    const fs::path home = root / "home";
    const auto env = ProgramEnvironment(home, root / "runs", base);

    std::map<std::string, std::vector<double>> times;
    std::map<std::string, long> peaks;
    const auto runProgram = [&](const std::string& label, const fs::path& config) {
        fs::remove_all(home / "Applications");
        Child installer({program.string(), "--unattended", "--config-file=" + config.string()},
                        env);
        long peak = 0;
        const int code = installer.Drain(peak);
        if (code != 0) {
            Die(label + ": the program exited with " + std::to_string(code));
        }
        for (const auto& [name, mebibytes] : packages) {
            if (fs::file_size(home / "Applications" / (name + ".app") / "Contents" / "Resources" /
                              "filler.bin") != static_cast<std::uintmax_t>(mebibytes) << 20) {
                Die(label + ": " + name + " not installed whole");
            }
        }
        const auto wait = installer.lineTimes.find("Page: Wait");
        if (wait == installer.lineTimes.end()) {
            Die(label + ": no \"Page: Wait\" line");
        }
        times[label].push_back(Seconds(installer.ended - installer.started));
        times[label + " downloads"].push_back(Seconds(wait->second - installer.started));
        peaks[label] = std::max(peaks[label], peak);
    };
    const auto runCurl = [&] {
        const fs::path downloads = root / "curl";
        fs::remove_all(downloads);
        fs::create_directories(downloads);
        std::string fetch = "curl -sS --no-progress-meter --fail --noproxy '*' --parallel "
                            "--parallel-max 2";
        for (const auto& [name, mebibytes] : packages) {
            fetch += " -o " + Quote(downloads / (name + ".tar.gz")) + " " + urlOf(name);
        }
        const auto start = Clock::now();
        if (Shell(fetch) != 0) {
            Die("curl failed: " + fetch);
        }
        times["curl"].push_back(Seconds(Clock::now() - start));
        fs::remove_all(downloads);
    };
    for (int round = 0; round < rounds; ++round) {
        const int shift = round % 3;
        for (int step = 0; step < 3; ++step) {
            switch ((step + shift) % 3) {
            case 0: runProgram("four", root / "four.ini"); break;
            case 1: runProgram("one", root / "one.ini"); break;
            default: runCurl(); break;
            }
        }
        std::cout << std::fixed << std::setprecision(2) << "round " << round + 1
                  << ": program, 4 connections " << times["four"].back() << " s (downloads "
                  << times["four downloads"].back() << " s), 1 connection " << times["one"].back()
                  << " s (downloads " << times["one downloads"].back() << " s), curl --parallel "
                  << times["curl"].back() << " s" << std::endl;
    }
    fs::remove_all(root);

    const double curl = Median(times["curl"]);
    const auto line = [&](const std::string& label, const std::string& key) {
        std::cout << "  " << std::left << std::setw(50) << label << std::right << std::fixed
                  << std::setprecision(2) << Median(times[key]) << " s   ratio to curl "
                  << std::setprecision(3) << Median(times[key]) / curl << "\n";
    };
    std::cout << "\nPackages of 24 and 256 MiB, every connection limited to " << rateKiB
              << " KiB/s, " << rounds << " rounds, medians:\n";
    line("program, 4 connections, whole install", "four");
    line("program, 4 connections, start to end of downloads", "four downloads");
    line("program, 1 connection, whole install", "one");
    line("program, 1 connection, start to end of downloads", "one downloads");
    line("curl --parallel, downloads", "curl");
    std::cout << std::fixed << std::setprecision(1) << "  peak RSS of the program: 4 connections "
              << peaks["four"] / 1024.0 << " MiB, 1 connection " << peaks["one"] / 1024.0
              << " MiB\n";
    return 0;
}
