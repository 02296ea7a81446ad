#include <exception>
#include <string>

#include <boost/filesystem.hpp>
#include <glog/logging.h>

#include "external/plist.h"
#include "sitemark/sitemark.h"
#include "sitemark_internal.h"

namespace Zentak::App {
namespace {

std::string ReadStoredSitemark(const std::string& plistName)
{
    return Util::OpenZentakPlistDictionary(plistName)->GetString(SITEMARK);
}

std::string ReadValidUserSitemark(SitemarkBudget& budget)
{
    std::string stored;
    try {
        stored = ReadStoredSitemark(USER);
    } catch (const std::exception& error) {
        ReportFailure(std::string("Reading the sitemark of plist ") + USER, error);
        return std::string();
    }
    if (stored.empty()) {
        LOG(INFO) << "No sitemark stored in plist " << USER;
        return std::string();
    }
    if (!isValidSitemark(stored, budget)) {
        LOG(INFO) << "Sitemark of plist " << USER << " is not valid: " << stored;
        return std::string();
    }
    return stored;
}

} // namespace

ISitemarkManager::~ISitemarkManager() = default;

SitemarkManager::SitemarkManager()
{
    SitemarkBudget unlimited;
    m_userSitemark = ReadValidUserSitemark(unlimited);
}

SitemarkManager::SitemarkManager(SitemarkBudget& budget) : m_userSitemark(ReadValidUserSitemark(budget)) {}

SitemarkManager::~SitemarkManager() = default;

std::string SitemarkManager::getUserSitemark() const
{
    return m_userSitemark;
}

std::string SitemarkManager::getSitemarkFromRegistryKey(const std::string& name) const
{
    try {
        return ReadStoredSitemark(name);
    } catch (const std::exception& error) {
        ReportFailure("Reading the sitemark of plist " + name, error);
        return std::string();
    }
}

std::set<std::string> SitemarkManager::getAvailableSitemarks() const
{
    std::set<std::string> found;
    std::string current;
    try {
        const boost::filesystem::path folder = Util::GetPlistDirectory();
        current = folder.string();
        const std::string prefix = Util::GetZentakPlistPrefix();
        for (const boost::filesystem::directory_entry& entry : boost::filesystem::directory_iterator(folder)) {
            const std::string fileName = entry.path().filename().string();
            if (fileName.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            current = entry.path().string();
            const std::string id = Util::OpenPlistDictionary(entry.path())->GetString(SITEMARK);
            if (!id.empty() && id != m_userSitemark) {
                found.insert(id);
            }
        }
    } catch (const std::exception& error) {
        // The ids gathered before the failure are still worth returning.
        ReportFailure("Listing stored sitemarks at " + current, error);
    }
    return found;
}

bool SitemarkManager::concatenateSitemarks(const std::string& mainId,
                                           const std::set<std::string>& ids) const
{
    return App::concatenateSitemarks(mainId, ids);
}

} // namespace Zentak::App
