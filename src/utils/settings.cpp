#include "utils/settings.h"

#include <cstring>
#include <map>
#include <mutex>

#include "utils/event_handler_list.h"
#include "utils/hardware_id.h"
#include "utils/ini_reader.h"
#include "utils/platform/system_info.h"

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
};

// Compared in this order; the first equal name wins.
constexpr Option kOptions[] = {
    {"--config-file", Settings::ID::ConfigFile},
    {"--config-url", Settings::ID::ConfigUrl},
    {"--debug", Settings::ID::Debug},
    {"--debug-info", Settings::ID::DebugInfo},
    {"--log-path", Settings::ID::LogPath},
    {"--assume-content-length-unavailable", Settings::ID::AssumeContentLengthUnavailable},
    {"--build-name", Settings::ID::BuildName},
    {"--module-name", Settings::ID::ModuleName},
    {"--distrib-name", Settings::ID::DistribName},
    {"--unattended", Settings::ID::Unattended},
    {"--package-dir", Settings::ID::PackageDir},
};

void ParseArgument(const char* argument)
{
    if (!argument) {
        return;
    }
    const std::string text(argument);
    const auto equals = text.find('=');
    const std::string key = text.substr(0, equals);
    for (const Option& option : kOptions) {
        if (key != option.name) {
            continue;
        }
        if (equals == std::string::npos) {
            Settings::Set(option.id, true);
        } else {
            Settings::Set(option.id, text.substr(equals + 1));
        }
        return;
    }
}

} // namespace

void Settings::Initialize(int argc, const char* const* argv)
{
    Set(ID::HardwareId, Util::GetHashedHuid());
    Set(ID::ConfigUrl, std::string(ZENTAK_CONTENT_HOST) + kDefaultConfigPath);
    Set(ID::DistribName, Util::GetDistribName());
    Set(ID::ProductId, std::string("reelmaker"));
    Set(ID::ProductDisplayName, std::string("Zentak Reel Maker"));
    for (int i = 1; i < argc; ++i) {
        ParseArgument(argv[i]);
    }
    Set(ID::Staging, Util::GetTaggedValueFromFilename(Util::GetStagingTag()));
    if (GetString(ID::SitemarkId).empty()) {
        Set(ID::SitemarkId, Util::GetTaggedValueFromFilename(Util::GetSitemarkTag()));
    }
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
