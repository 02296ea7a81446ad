#include "logic/controller/packages.h"

#include <algorithm>

#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/settings.h"

namespace Zentak {

InstallerItem& Packages::Add(InstallerItem&& item)
{
    for (const auto& [key, value] : item.searchInstalled) {
        if (key == "exe_name") {
            item.exeName = value;
        } else if (key == "uninstall_registry_key_name" && item.displayName.empty()) {
            item.displayName = value;
        }
    }
    for (StartItem& start : item.runInstalled) {
        if (start.id.empty()) {
            start.id = item.id;
        }
    }
    m_items.push_back(std::move(item));
    return m_items.back();
}

InstallerItem* Packages::Find(const std::string& id)
{
    auto it = std::find_if(m_items.begin(), m_items.end(),
                           [&](const InstallerItem& item) { return item.id == id; });
    return it == m_items.end() ? nullptr : &*it;
}

bool Packages::Any(State state) const
{
    return std::any_of(m_items.begin(), m_items.end(),
                       [state](const InstallerItem& item) { return item.state == state; });
}

void Packages::SortByInstallOrder()
{
    m_items.sort([](const InstallerItem& a, const InstallerItem& b) {
        return a.installOrder < b.installOrder;
    });
}

void Packages::ResetFailed()
{
    for (InstallerItem& item : m_items) {
        if (item.state == State::DownloadFailed) {
            item.state = State::Pending;
        } else if (item.state == State::InstallFailed) {
            item.state = State::Downloaded;
        }
    }
}

std::string Packages::DialogName(const InstallerItem& item) const
{
    return item.displayName.empty() ? m_productDisplayName : item.displayName;
}

unsigned long long SecondsSince(Clock::time_point since)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since);
    return std::max<long long>(1, seconds.count());
}

boost::filesystem::path InstallDir()
{
    return Settings::GetPath(Settings::ID::InstallDir);
}

void ShowNoConnection(IStatisticsTracker& tracker, ISplash& splash)
{
    tracker.TrackEvent(Events::kNoConnectionPopupShown);
    splash.ShowNoConnectionError();
}

} // namespace Zentak
