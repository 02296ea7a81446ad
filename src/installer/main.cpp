#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <ostream>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include "external/crash_handler.h"
#include "installer/application.h"
#include "logic/config/config_check.h"
#include "splash/splash_availability.h"
#include "utils/kept_logs.h"
#include "utils/settings.h"
#include "utils/temp_paths.h"

namespace {

// Without HOME this process falls back to the account's home folder, but the
// install script it starts would find no Applications folder: one answer
// for both, by setting the same fallback before anything reads it.
void EnsureHome()
{
    const char* home = std::getenv("HOME");
    if (home && *home) {
        return;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) {
        ::setenv("HOME", entry->pw_dir, 1);
    }
}

void PrintHelp(std::ostream& out)
{
    out << "usage: installer [option]...\n"
           "Downloads and installs Zentak Reel Maker, in a window, or on the console with\n"
           "--unattended.\n\n"
           "Options:\n"
        << Zentak::Settings::OptionsHelp()
        << "\nExit codes (a window run ends with 0 or 1 only):\n"
           "  0  the window ended normally; unattended: the whole bundle was installed\n"
           "  1  the program could not start (also: no display and no --unattended)\n"
           "  2  the command line is wrong, or --check-config found problems\n"
           "  3  cancelled, by the person or a signal\n"
           "  4  the configuration is not available or was refused\n"
           "  5  a package could not be downloaded or failed its integrity check\n"
           "  6  a package failed to install\n"
           "  7  not enough disk space\n";
}

// The log of a run that did not install is what explains it: one in the run
// directory, which goes away at exit, is first copied to the kept logs.
void TellWhereTheLogIs(const std::string& logDir, const char* argv0, bool chosenByUser)
{
    using namespace Zentak;
    const boost::filesystem::path log =
        Util::CurrentLogFile(logDir, boost::filesystem::path(argv0).filename().string());
    if (log.empty()) {
        return;
    }
    if (chosenByUser) {
        std::cerr << "installer: the log of this run is " << log.string() << std::endl;
        return;
    }
    const boost::filesystem::path kept = Util::KeepLog(log, Util::KeptLogsFolder());
    if (!kept.empty()) {
        std::cerr << "installer: the log of this run is kept in " << kept.string() << std::endl;
    }
}

// --check-config: the file's problems on standard output, one a line.
int CheckConfigFile(const std::string& path)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
        std::cerr << "installer: configuration file " << path << " not found" << std::endl;
        return 2;
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::vector<std::string> problems = Zentak::CheckConfiguration(text, path);
    for (const std::string& problem : problems) {
        std::cout << problem << std::endl;
    }
    if (!problems.empty()) {
        return 2;
    }
    std::cout << path << ": no problems found" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    EnsureHome();
    using namespace Zentak;

    const Settings::CommandLine commandLine = Settings::Initialize(argc, argv);
    if (commandLine.help) {
        PrintHelp(std::cout);
        return 0;
    }
    if (commandLine.version) {
        std::cout << "installer " << ZENTAK_PROGRAM_VERSION << std::endl;
        return 0;
    }
    if (!commandLine.checkConfig.empty() && commandLine.errors.empty()) {
        return CheckConfigFile(commandLine.checkConfig);
    }
    for (const std::string& warning : commandLine.warnings) {
        std::cerr << "installer: " << warning << std::endl;
    }
    if (!commandLine.errors.empty()) {
        for (const std::string& error : commandLine.errors) {
            std::cerr << "installer: " << error << std::endl;
        }
        return Settings::GetBool(Settings::ID::Unattended) ? 2 : 1;
    }

    // Without a person and without a screen there is nobody to install for.
    std::string reason;
    if (!SplashCanRun(reason)) {
        std::cerr << reason << std::endl;
        return 1;
    }

    std::string runDirectory;
    try {
        runDirectory = Util::GetTempDir().string();
    } catch (const std::exception& error) {
        // Nothing can be downloaded without it; say why rather than abort.
        std::cerr << "installer: the temporary folder cannot be used: " << error.what() << std::endl;
        return 1;
    }
    const std::any logPath = Settings::Get(Settings::ID::LogPath);
    const auto* logPathText = std::any_cast<std::string>(&logPath);
    if (logPathText) {
        // Logs go where the user asked, also when the folder is new.
        boost::system::error_code error;
        boost::filesystem::create_directories(*logPathText, error);
    }
    FLAGS_log_dir = logPathText ? *logPathText : runDirectory;
    // Standard error carries the causes ("installer: ...") the person reads;
    // the log lines behind them stay in the log.
    FLAGS_stderrthreshold = google::GLOG_FATAL;
    google::InitGoogleLogging(argv[0]);

    Core::SetupCommonCrashHandler(
        [] { return CrashHandler::ClientInfo{Settings::GetString(Settings::ID::HardwareId)}; },
        false);
    int exitCode = 0;
    bool installed = false;
    {
        CrashHandler::SentryBreadCrumbsLogSink breadcrumbs({0, 1, 2, 3});
        {
            std::unique_ptr<IApplication> application = IApplication::CreateInstance(argc, argv);
            exitCode = application->Run();
            installed = application->BundleInstalled();
        }
    }
    Core::RemoveCommonCrashHandler();
    google::ShutdownGoogleLogging();

    if (!installed) {
        TellWhereTheLogIs(FLAGS_log_dir, argv[0], logPathText != nullptr);
    }

    // "--debug=<text>" holds no boolean: treated as not asking to keep files.
    if (!Settings::GetBool(Settings::ID::Debug)) {
        Util::CleanupTempDir();
    }
    return exitCode;
}
