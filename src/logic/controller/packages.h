#pragma once

#include <chrono>
#include <list>
#include <string>

#include <boost/filesystem/path.hpp>

#include "logic/config/config_parser.h"

namespace Zentak {

class IStatisticsTracker;
class ISplash;

// The run's packages in configuration order, then in install order once
// the configuration is read, with the few questions both the downloads and
// the installs ask of them. Logic thread only.
class Packages {
public:
    using State = InstallerItem::State;

    std::list<InstallerItem>& Items() { return m_items; }
    const std::list<InstallerItem>& Items() const { return m_items; }

    // Adds the package with the fields its configuration implies: the
    // program's name and display name from its search keys, and its own id
    // for launches that name none.
    InstallerItem& Add(InstallerItem&& item);
    InstallerItem* Find(const std::string& id);
    bool Any(State state) const;
    bool Empty() const { return m_items.empty(); }
    void SortByInstallOrder();

    // A retry starts failed downloads anew and runs failed installers again.
    void ResetFailed();

    void SetProductDisplayName(std::string name) { m_productDisplayName = std::move(name); }
    // The name a dialog about the package shows: its own, else the product's.
    std::string DialogName(const InstallerItem& item) const;

private:
    std::list<InstallerItem> m_items;
    std::string m_productDisplayName;
};

using Clock = std::chrono::steady_clock;

// Whole seconds since `since`, truncated, and at least 1: statistics divide
// by it.
unsigned long long SecondsSince(Clock::time_point since);

// The folder products are installed in (the setting), empty when unset.
boost::filesystem::path InstallDir();

// Tells the statistics, then the user, that the network failed for good.
void ShowNoConnection(IStatisticsTracker& tracker, ISplash& splash);

} // namespace Zentak
