#pragma once

#include <any>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace Zentak {

// The process-wide store of run parameters. Every operation is safe from any
// thread; observers are called on the thread that changed the value.
class Settings {
public:
    enum class ID : int {
        ConfigFile = 0,
        ConfigUrl = 1,
        Debug = 2,
        DebugInfo = 3,
        HardwareId = 5,
        InstallDir = 6,
        Locale = 7,
        LogPath = 8,
        ProductId = 12,
        ProductVersion = 13,
        ProductDisplayName = 14,
        SitemarkId = 15,
        PreferredBrowser = 17,
        BuildName = 18,
        ModuleName = 19,
        DistribName = 20,
        TestCrash = 21,
        Staging = 22,
        BundleName = 23,
        BundleVersion = 24,
        AssumeContentLengthUnavailable = 25,
        // Our own: run without a window and without a person (console splash).
        Unattended = 26,
        // Our own: a folder of packages to use instead of downloading them
        // (only packages whose configuration gives their SHA-256).
        PackageDir = 27,
        // Our own: an unattended run prints JSON lines instead of text.
        ProgressJson = 28,
    };

    class ISettingsObserver {
    public:
        virtual ~ISettingsObserver() = default;
        virtual void OnSettingsChanged(ID id, const std::any& value) = 0;
    };

    // What the command line asked for besides settings, and what was wrong
    // with it, each a line to show the person ("installer: ..." added by
    // the caller).
    struct CommandLine {
        bool help = false;
        bool version = false;
        std::string checkConfig; // --check-config=<file>: check it and exit
        std::vector<std::string> warnings; // the run goes on
        std::vector<std::string> errors;   // the run does not start
    };

    // Fills the defaults and parses the command line. Called once, first
    // thing in main, before any observer exists.
    static CommandLine Initialize(int argc, const char* const* argv);
    // The options, one line each, for --help.
    static std::string OptionsHelp();

    // Stores a copy, then tells every observer on the calling thread.
    static void Set(ID id, const std::any& value);
    // A copy of the stored value; an empty std::any when the key is absent.
    static std::any Get(ID id);
    static void Unset(ID id);
    static std::string CurrentLocale();

    static void RegisterObserver(ISettingsObserver* observer);
    static void UnregisterObserver(ISettingsObserver* observer);

    // Typed readers for the common cases. A value of another type than the
    // one asked for (a flag given with "=value", for instance) reads as the
    // fallback instead of ending the program.
    static std::string GetString(ID id, const std::string& fallback = {});
    // A folder or file: a path value, or text taken as one; empty when unset.
    static boost::filesystem::path GetPath(ID id);
    static bool GetBool(ID id, bool fallback = false);
    static bool Has(ID id);
};

using ISettingsObserver = Settings::ISettingsObserver;

} // namespace Zentak
