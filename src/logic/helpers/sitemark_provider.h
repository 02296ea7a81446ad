#pragma once

#include <memory>
#include <string>

#include "logic/tracker/statistics_tracker.h"

namespace Zentak {

// Settles, once per run, on the web user id the installer reports.
class SitemarkProvider {
public:
    // Blocks the calling thread for at most about five seconds of service
    // requests. Sets the setting SitemarkId and tracks "WI_NEW_SITEMARK".
    static std::string GetSitemark(const std::shared_ptr<IStatisticsTracker>& tracker);
};

} // namespace Zentak
