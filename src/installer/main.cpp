#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <ostream>
#include <string>
#include <unordered_set>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include "external/crash_handler.h"
#include "installer/application.h"
#include "splash/splash_availability.h"
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
        << "\nExit codes:\n"
           "  0  the window ended normally; unattended: the whole bundle was installed\n"
           "  1  the program could not start (also: no display and no --unattended)\n"
           "  2  unattended: the command line is wrong\n"
           "  3  unattended: the run ended before the whole bundle was installed\n";
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
        std::cerr << "The temporary folder cannot be used: " << error.what() << std::endl;
        return Settings::GetBool(Settings::ID::Unattended) ? 3 : 1;
    }
    const std::any logPath = Settings::Get(Settings::ID::LogPath);
    const auto* logPathText = std::any_cast<std::string>(&logPath);
    if (logPathText) {
        // Logs go where the user asked, also when the folder is new.
        boost::system::error_code error;
        boost::filesystem::create_directories(*logPathText, error);
    }
    FLAGS_log_dir = logPathText ? *logPathText : runDirectory;
    google::InitGoogleLogging(argv[0]);

    Core::SetupCommonCrashHandler(
        [] { return CrashHandler::ClientInfo{Settings::GetString(Settings::ID::HardwareId)}; },
        false);
    int exitCode = 0;
    {
        CrashHandler::SentryBreadCrumbsLogSink breadcrumbs({0, 1, 2, 3});
        {
            std::unique_ptr<IApplication> application = IApplication::CreateInstance(argc, argv);
            exitCode = application->Run();
        }
    }
    Core::RemoveCommonCrashHandler();
    google::ShutdownGoogleLogging();

    // "--debug=<text>" holds no boolean: treated as not asking to keep files.
    if (!Settings::GetBool(Settings::ID::Debug)) {
        Util::CleanupTempDir();
    }
    return exitCode;
}
