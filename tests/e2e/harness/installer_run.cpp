#include "harness/installer_run.h"

#include <sstream>

namespace Zentak::E2e {

std::filesystem::path InstallerProgram()
{
    return std::filesystem::path(ZENTAK_BUNDLE_DIR) / "Contents" / "MacOS" / "installer";
}

namespace {

EnvironmentChanges InstallerEnvironment(const InstallerRun& run)
{
    EnvironmentChanges env;
    env["HOME"] = run.home.string();
    env["TMPDIR"] = run.tmp.string();
    env["DISPLAY"] = std::nullopt;
    // Loopback traffic must not be sent to a proxy of the machine.
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY"}) {
        env[name] = std::nullopt;
    }
    for (const auto& [name, value] : run.env) {
        env[name] = value;
    }
    return env;
}

std::vector<std::string> InstallerCommandLine(const InstallerRun& run)
{
    std::vector<std::string> argv{InstallerProgram().string()};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    return argv;
}

} // namespace

ProcessResult RunInstaller(const InstallerRun& run)
{
    return RunProcess(InstallerCommandLine(run), InstallerEnvironment(run), run.timeout);
}

std::unique_ptr<BackgroundProcess> StartInstaller(const InstallerRun& run,
                                                  const std::filesystem::path& stderrFile)
{
    return std::make_unique<BackgroundProcess>(InstallerCommandLine(run),
                                               InstallerEnvironment(run), stderrFile);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& line : Lines(text)) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<std::filesystem::path> RunDirectories(const std::filesystem::path& tmp)
{
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tmp, error)) {
        if (entry.path().filename().string().rfind("ZentakWebInstaller-", 0) == 0) {
            found.push_back(entry.path());
        }
    }
    return found;
}

} // namespace Zentak::E2e
