#include "logic/helpers/sitemark_provider.h"

#include <chrono>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <glog/logging.h>

#include "external/plist.h"
#include "logic/tracker/events.h"
#include "sitemark/sitemark.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

// Every service request of one resolution, the manager's own check of the
// user plist included, shares this much transfer time.
constexpr std::chrono::milliseconds kResolutionBudget(5000);

constexpr char kUserPlist[] = "user";
constexpr char kProductPlist[] = "reelmaker24";

constexpr char kMergeNotAttempted[] = "not attempted";
constexpr char kMergeSuccess[] = "success";
constexpr char kMergeFail[] = "fail";

struct Candidate {
    const char* source;
    std::string id;
};

void StoreUserSitemark(const std::string& id)
{
    try {
        Util::OpenZentakPlistDictionary(kUserPlist)
            ->SetString(Tracking::Settings::KEY_TRACKING_WEB_USER_ID, id);
    } catch (const std::exception& error) {
        LOG(ERROR) << "Error while writing to user plist: " << error.what();
        LOG(INFO) << "Error writing sitemark to USER registry key, sitemark = " << id;
    }
}

} // namespace

std::string SitemarkProvider::GetSitemark(const std::shared_ptr<IStatisticsTracker>& tracker)
{
    App::SitemarkBudget budget = kResolutionBudget;
    const App::SitemarkManager manager(budget);
    const std::string managerUserId = manager.getUserSitemark();

    const std::vector<Candidate> candidates = {
        {EventParam::kRegUserSitemark, managerUserId},
        {EventParam::kRegProductSitemark, manager.getSitemarkFromRegistryKey(kProductPlist)},
        {EventParam::kFileSitemark, Settings::GetString(Settings::ID::SitemarkId)},
    };

    EventParameters parameters;
    std::string chosen;
    std::set<std::string> linked;
    for (const Candidate& candidate : candidates) {
        const bool valid = App::isValidSitemark(candidate.id, budget);
        if (chosen.empty() && valid) {
            chosen = candidate.id;
        }
        if (valid && candidate.id != chosen) {
            linked.insert(candidate.id);
            LOG(INFO) << "Found sitemark " << candidate.source << ", value = " << candidate.id;
        }
        parameters.emplace_back(valid ? std::string(candidate.source)
                                      : std::string(EventParam::kNotValidPrefix) + candidate.source,
                                candidate.id);
    }

    if (chosen.empty()) {
        chosen = App::requestSitemark(budget);
        if (!chosen.empty()) {
            parameters.emplace_back(EventParam::kApiSitemark, chosen);
            LOG(INFO) << "Registry and filename sitemarks are not valid, using API_SITEMARK instead, value = "
                      << chosen;
        }
    }

    std::string mergeResult = kMergeNotAttempted;
    if (!chosen.empty()) {
        // An id the user plist already holds and the service knows stays; any
        // other choice becomes the user's id.
        if (managerUserId.empty()) {
            StoreUserSitemark(chosen);
        }
        if (!linked.empty()) {
            mergeResult = App::concatenateSitemarks(chosen, linked, budget) ? kMergeSuccess : kMergeFail;
        }
    } else {
        chosen = Settings::GetString(Settings::ID::HardwareId);
        if (!chosen.empty()) {
            LOG(INFO) << "Extracted Sitemark value is invalid or server is unreachable. "
                         "Using HardwareUid as Sitemark";
        } else {
            LOG(INFO) << "Extracted Sitemark value is invalid or server is unreachable, "
                         "HardwareUid generation failed. Proceeding with empty Sitemark";
        }
    }
    parameters.emplace_back(EventParam::kMergeSitemarkResult, mergeResult);

    Settings::Set(Settings::ID::SitemarkId, chosen);
    if (tracker) {
        tracker->TrackEvent(Events::kNewSitemark, parameters);
    }
    return chosen;
}

} // namespace Zentak
