#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "sitemark/sitemark_export.h"

// The web user id (sitemark): ids stored in the user's preference plists and
// the web user id service that knows, issues and links them.
//
// Every service call may share one time budget: an optional count of
// milliseconds, passed by reference. Empty means no limit. When set, a call
// with 0 left is skipped and counts as failed; otherwise the remaining budget
// bounds the whole transfer, connection set-up included, and the time the
// transfer took is taken off it afterwards (never below 0). One budget is used
// by one thread at a time. The functions may be called from any thread: they
// hold no locks and keep no state between calls apart from the process-wide
// proxy lookup, which serialises itself. Each call blocks its thread for the
// transfer.
//
// The base URL of the service is fixed at build time; the environment
// variable ZENTAK_UID_SERVICE_URL, when set and not empty, replaces it.
// No function or method of this header lets an exception out: failures are
// logged, reported as handled exceptions and give the documented default.

namespace Zentak::Tracking::Settings {

// The plist key under which an id is stored.
inline constexpr const char KEY_TRACKING_WEB_USER_ID[] = "SITEMARK";
// Placeholder id that is never linked.
inline constexpr const char DEFAULT_VALUE_WEB_USER_ID[] = "UNDEFINED";
inline constexpr const char KEY_STATISTICS[] = "sendStatistics";

} // namespace Zentak::Tracking::Settings

namespace Zentak::App {

using SitemarkBudget = std::optional<std::chrono::milliseconds>;

struct SITEMARK_EXPORT IUserSettingsManager {
    static const char* const NAME_USER_SETTINGS; // "User"
};
struct SITEMARK_EXPORT IMailSettingsManager {
    static const char* const NAME_EMAIL_SETTINGS; // "Mail"
};
struct SITEMARK_EXPORT IPatentsSettingsManager {
    static const char* const NAME_PATENTS_SETTINGS; // "Patents"
};

// What one service request expects and what it got.
struct CurlContent {
    enum Kind : int {
        Existence = 0, // value: bool, from the reply field "exist"
        NewId = 1,     // value: std::string, from "id"
        LinkResult = 2 // value: bool, from "success"
    };

    int kind = Existence;
    // Initialised by the caller (an empty string for NewId, false otherwise);
    // overwritten only by a successful reply.
    std::variant<std::string, bool> value;
    // The reply body gathered so far; read once the transfer has ended.
    std::string body;
};

// The largest reply body accepted; a longer reply fails the request.
inline constexpr std::size_t kMaxSitemarkReplyBytes = 64 * 1024;

// A new id from the service, or an empty string when the request failed.
SITEMARK_EXPORT std::string requestSitemark();
SITEMARK_EXPORT std::string requestSitemark(SitemarkBudget& budget);

// True when the service reports the id as existing; false for an empty id
// (without a request) and for a failed request.
SITEMARK_EXPORT bool isValidSitemark(const std::string& id);
SITEMARK_EXPORT bool isValidSitemark(const std::string& id, SitemarkBudget& budget);

// Asks the service to link `ids` to `mainId`, skipping empty ids, `mainId`
// itself and "UNDEFINED". True when nothing was left to link (no request) or
// the service reported success.
SITEMARK_EXPORT bool concatenateSitemarks(const std::string& mainId, const std::set<std::string>& ids);
SITEMARK_EXPORT bool concatenateSitemarks(const std::string& mainId, const std::set<std::string>& ids,
                                          SitemarkBudget& budget);

// Performs one GET of `url` and, when it succeeds, reads the reply into
// `content`. Any failure (network, TLS, HTTP status of 400 and above, a reply
// over kMaxSitemarkReplyBytes, an unusable reply) leaves `content.value` as it
// was and is reported.
SITEMARK_EXPORT void curlRequest(const std::string& url, CurlContent& content, SitemarkBudget& budget);

// libcurl write callback: appends the chunk to the body of the CurlContent
// that `content` points to. Returns 0 (libcurl then fails the transfer) when
// the body would grow past kMaxSitemarkReplyBytes, size * count otherwise.
SITEMARK_EXPORT std::size_t curlContentParser(char* data, std::size_t size, std::size_t count,
                                              void* content);

// True when the reply holds the field of the content's kind with a value of
// the right type, which is then stored. False otherwise, including replies
// that are not objects.
SITEMARK_EXPORT bool jsonResponseParsed(const nlohmann::json& reply, CurlContent& content);

// Reads stored ids. All operations are for one thread at a time.
class SITEMARK_EXPORT ISitemarkManager {
public:
    virtual ~ISitemarkManager();
    // The id of the user plist, validated with the service at construction;
    // empty when there was none or it was not valid.
    virtual std::string getUserSitemark() const = 0;
    // The raw id stored in the plist `name` (not validated); empty if none.
    virtual std::string getSitemarkFromRegistryKey(const std::string& name) const = 0;
    // The ids stored in any of the maker's plists, without the user id.
    virtual std::set<std::string> getAvailableSitemarks() const = 0;
    // concatenateSitemarks without a budget.
    virtual bool concatenateSitemarks(const std::string& mainId,
                                      const std::set<std::string>& ids) const = 0;
};

class SITEMARK_EXPORT SitemarkManager : public ISitemarkManager {
public:
    // Both read the user plist's id and validate it at once, the second one
    // within `budget`.
    SitemarkManager();
    explicit SitemarkManager(SitemarkBudget& budget);
    ~SitemarkManager() override;

    std::string getUserSitemark() const override;
    std::string getSitemarkFromRegistryKey(const std::string& name) const override;
    std::set<std::string> getAvailableSitemarks() const override;
    bool concatenateSitemarks(const std::string& mainId,
                              const std::set<std::string>& ids) const override;

private:
    std::string m_userSitemark;
};

} // namespace Zentak::App
