#include "utils/settings.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "utils/event_handler_list.h"
#include "utils/hardware_id.h"
#include "utils/ini_reader.h"
#include "utils/platform/system_info.h"
#include "utils/string_utils.h"

namespace Zentak {
namespace {

constexpr const char* kDefaultConfigPath =
    "/resources/webinstaller/release/rm/rm_mac_x64/resources/config.ini";

class SettingsStore : public Core::EventHandlerList<ISettingsObserver, Core::SyncExecutePolicy> {
public:
    std::map<Settings::ID, std::any> values;
    std::mutex mapGuard;
};

SettingsStore& Store()
{
    static SettingsStore store;
    return store;
}

struct Option {
    const char* name;
    Settings::ID id;
    const char* value; // what follows "=", or nullptr for a flag
    const char* help;
};

// Compared in this order; the first equal name wins.
constexpr Option kOptions[] = {
    {"--config-file", Settings::ID::ConfigFile, "<path>", "read the configuration from a local file"},
    {"--config-url", Settings::ID::ConfigUrl, "<url>", "download the configuration from this URL"},
    {"--debug", Settings::ID::Debug, nullptr, "keep the run directory (logs, downloads) after exit"},
    {"--debug-info", Settings::ID::DebugInfo, nullptr,
     "also keep copies of the configuration and pictures"},
    {"--log-path", Settings::ID::LogPath, "<folder>", "write the logs there"},
    {"--assume-content-length-unavailable", Settings::ID::AssumeContentLengthUnavailable, nullptr,
     "do not ask servers for package sizes"},
    {"--build-name", Settings::ID::BuildName, "<text>", "the build name reported with statistics"},
    {"--module-name", Settings::ID::ModuleName, "<text>", "the module name reported with statistics"},
    {"--distrib-name", Settings::ID::DistribName, "<text>",
     "the distribution name (normally the disk image's name, with its tags)"},
    {"--unattended", Settings::ID::Unattended, nullptr,
     "no window: pages, progress and dialogs on the console, consent taken as given"},
    {"--package-dir", Settings::ID::PackageDir, "<folder>",
     "take packages whose sha256 matches from this folder"},
};

// Options that are not settings.
constexpr const char* kHelp = "--help";
constexpr const char* kVersion = "--version";
constexpr const char* kCheckConfig = "--check-config";
constexpr const char* kProgress = "--progress";

std::string UnknownOption(const std::string& key)
{
    std::vector<std::string> names{kHelp, kVersion, kCheckConfig, kProgress};
    for (const Option& option : kOptions) {
        names.push_back(option.name);
    }
    const std::string nearest = Util::NearestName(key, names);
    std::string text = "ignoring unknown option " + key;
    if (!nearest.empty()) {
        text += " (did you mean " + nearest + "?)";
    }
    return text;
}

void ParseArgument(const char* argument, Settings::CommandLine& report)
{
    if (!argument) {
        return;
    }
    const std::string text(argument);
    const auto equals = text.find('=');
    const std::string key = text.substr(0, equals);
    if (key == kHelp) {
        report.help = true;
        return;
    }
    if (key == kVersion) {
        report.version = true;
        return;
    }
    if (key == kCheckConfig) {
        if (equals == std::string::npos || equals + 1 == text.size()) {
            report.errors.push_back("option " + key + " needs a value: " + key + "=<file>");
        } else {
            report.checkConfig = text.substr(equals + 1);
        }
        return;
    }
    if (key == kProgress) {
        const std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
        if (value == "json") {
            Settings::Set(Settings::ID::ProgressJson, true);
        } else if (value != "text") {
            report.errors.push_back("option " + key + " takes text or json: " + key + "=json");
        }
        return;
    }
    for (const Option& option : kOptions) {
        if (key != option.name) {
            continue;
        }
        if (option.value && equals == std::string::npos) {
            report.errors.push_back("option " + key + " needs a value: " + key + "=" + option.value);
        } else if (equals == std::string::npos) {
            Settings::Set(option.id, true);
        } else {
            Settings::Set(option.id, text.substr(equals + 1));
        }
        return;
    }
    // Other arguments (the system passes some of its own) are left alone;
    // only what looks like one of our options is worth a word.
    if (key.rfind("--", 0) == 0 && key.size() > 2) {
        report.warnings.push_back(UnknownOption(key));
    }
}

} // namespace

Settings::CommandLine Settings::Initialize(int argc, const char* const* argv)
{
    CommandLine report;
    Set(ID::HardwareId, Util::GetHashedHuid());
    Set(ID::ConfigUrl, std::string(ZENTAK_CONTENT_HOST) + kDefaultConfigPath);
    Set(ID::DistribName, Util::GetDistribName());
    Set(ID::ProductId, std::string("reelmaker"));
    Set(ID::ProductDisplayName, std::string("Zentak Reel Maker"));
    for (int i = 1; i < argc; ++i) {
        ParseArgument(argv[i], report);
    }
    Set(ID::Staging, Util::GetTaggedValueFromFilename(Util::GetStagingTag()));
    if (GetString(ID::SitemarkId).empty()) {
        Set(ID::SitemarkId, Util::GetTaggedValueFromFilename(Util::GetSitemarkTag()));
    }
    return report;
}

std::string Settings::OptionsHelp()
{
    std::string text;
    const auto line = [&text](const std::string& usage, const char* help) {
        text += "  " + usage + std::string(usage.size() < 44 ? 44 - usage.size() : 1, ' ') + help + "\n";
    };
    for (const Option& option : kOptions) {
        line(std::string(option.name) + (option.value ? std::string("=") + option.value : ""),
             option.help);
    }
    line(std::string(kCheckConfig) + "=<file>",
         "check a configuration file offline, print its problems and exit");
    line(std::string(kProgress) + "=json",
         "unattended: one JSON object per line on standard output instead of text");
    line(kHelp, "print this help and exit");
    line(kVersion, "print the version and exit");
    return text;
}

void Settings::Set(ID id, const std::any& value)
{
    SettingsStore& store = Store();
    {
        std::lock_guard<std::mutex> lock(store.mapGuard);
        store.values[id] = value;
    }
    const std::any copy = value;
    store.PerformForEachEventHandler(
        [&](ISettingsObserver& observer) { observer.OnSettingsChanged(id, copy); });
}

std::any Settings::Get(ID id)
{
    SettingsStore& store = Store();
    std::lock_guard<std::mutex> lock(store.mapGuard);
    auto it = store.values.find(id);
    return it == store.values.end() ? std::any() : it->second;
}

void Settings::Unset(ID id)
{
    SettingsStore& store = Store();
    {
        std::lock_guard<std::mutex> lock(store.mapGuard);
        store.values.erase(id);
    }
    const std::any empty;
    store.PerformForEachEventHandler(
        [&](ISettingsObserver& observer) { observer.OnSettingsChanged(id, empty); });
}

std::string Settings::CurrentLocale()
{
    return GetString(ID::Locale);
}

void Settings::RegisterObserver(ISettingsObserver* observer)
{
    Store().RegisterEventHandler(observer);
}

void Settings::UnregisterObserver(ISettingsObserver* observer)
{
    Store().UnregisterEventHandler(observer);
}

std::string Settings::GetString(ID id, const std::string& fallback)
{
    const std::any value = Get(id);
    if (const auto* text = std::any_cast<std::string>(&value)) {
        return *text;
    }
    return fallback;
}

boost::filesystem::path Settings::GetPath(ID id)
{
    const std::any value = Get(id);
    if (const auto* path = std::any_cast<boost::filesystem::path>(&value)) {
        return *path;
    }
    return GetString(id);
}

bool Settings::GetBool(ID id, bool fallback)
{
    const std::any value = Get(id);
    if (const auto* flag = std::any_cast<bool>(&value)) {
        return *flag;
    }
    return fallback;
}

bool Settings::Has(ID id)
{
    return Get(id).has_value();
}

} // namespace Zentak
