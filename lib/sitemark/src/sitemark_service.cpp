#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include <glog/logging.h>
#include <nlohmann/json.hpp>

#include "external/crash_handler.h"
#include "sitemark/curl.h"
#include "sitemark/sitemark.h"
#include "sitemark_internal.h"
#include "transfer_limits.h"

#ifndef SITEMARK_DEFAULT_SERVICE_URL
#error "SITEMARK_DEFAULT_SERVICE_URL must name the web user id service"
#endif

namespace Zentak::App {

const char* const IUserSettingsManager::NAME_USER_SETTINGS = "User";
const char* const IMailSettingsManager::NAME_EMAIL_SETTINGS = "Mail";
const char* const IPatentsSettingsManager::NAME_PATENTS_SETTINGS = "Patents";

const char* const USER = "user";
const char* const SITEMARK = Tracking::Settings::KEY_TRACKING_WEB_USER_ID;

Networking::NativeProxyProvider g_proxyProvider;

void ReportFailure(const std::string& action, const std::exception& error) noexcept
{
    try {
        const std::string type = Core::TypeName(error);
        LOG(WARNING) << action << " failed: " << error.what();
        Core::TrackException(type, error.what());
    } catch (...) {
        // Nothing left to report with.
    }
}

namespace {

using Clock = std::chrono::steady_clock;

std::string ServiceBaseUrl()
{
    const char* overridden = std::getenv("ZENTAK_UID_SERVICE_URL");
    std::string base = (overridden != nullptr && *overridden != '\0') ? overridden
                                                                        : SITEMARK_DEFAULT_SERVICE_URL;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base;
}

// Ids come from plists and from the installer's file name; escaped, none of
// them can add query parameters or point the request at another path.
std::string EscapeForUrl(const Curl::CurlEasy& easy, const std::string& text)
{
    std::unique_ptr<char, void (*)(void*)> escaped(
        curl_easy_escape(easy.handle(), text.data(), static_cast<int>(text.size())), curl_free);
    if (!escaped) {
        throw std::runtime_error("curl_easy_escape failed for id \"" + text + "\"");
    }
    return escaped.get();
}

// Stores the field of the content's kind; a field of the wrong type throws
// nlohmann's type error.
bool StoreReplyField(const nlohmann::json& reply, CurlContent& content)
{
    switch (content.kind) {
    case CurlContent::Existence: {
        const auto field = reply.find("exist");
        if (field == reply.end() || !field->is_boolean()) {
            return false;
        }
        content.value = field->get<bool>();
        return true;
    }
    case CurlContent::NewId: {
        const auto field = reply.find("id");
        if (field == reply.end()) {
            return false;
        }
        content.value = field->get<std::string>();
        return true;
    }
    case CurlContent::LinkResult: {
        const auto field = reply.find("success");
        if (field == reply.end()) {
            return false;
        }
        content.value = field->get<bool>();
        return true;
    }
    default:
        return false;
    }
}

std::string ErrorReplyText(const nlohmann::json& reply)
{
    std::string text = "Error performing Sitemark API request";
    if (reply.is_object()) {
        for (const char* key : {"code", "message", "exception"}) {
            const auto field = reply.find(key);
            if (field != reply.end()) {
                text += std::string(", ") + key + ": " + field->get<std::string>();
            }
        }
    }
    return text;
}

// The body is read only once the transfer has ended: a reply may arrive in
// any number of pieces.
void ParseReply(const std::string& url, CurlContent& content)
{
    try {
        const nlohmann::json reply =
            nlohmann::json::parse(content.body, nullptr, /*allow_exceptions=*/true,
                                  /*ignore_comments=*/false);
        if (!StoreReplyField(reply, content)) {
            throw std::runtime_error(ErrorReplyText(reply));
        }
    } catch (const std::exception& error) {
        ReportFailure("Reading the sitemark service reply of " + url, error);
    }
}

void SetTransferOptions(Curl::CurlEasy& easy, const std::string& url, CurlContent& content,
                        const std::string& caBundle, const Networking::ProxyInfo& proxy,
                        const SitemarkBudget& budget)
{
    easy.set(CURLOPT_URL, url.c_str());
    // Neither the URL from the environment nor a redirect may lead anywhere
    // but to an HTTP(S) service, and a service reached over TLS may not hand
    // the user's id on to plain HTTP.
    const bool secure = url.size() >= 8 && curl_strnequal(url.c_str(), "https://", 8);
#if LIBCURL_VERSION_NUM >= 0x075500
    easy.set(CURLOPT_PROTOCOLS_STR, "http,https");
    easy.set(CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
#else
    easy.set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    easy.set(CURLOPT_REDIR_PROTOCOLS,
             static_cast<long>(secure ? CURLPROTO_HTTPS : CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    easy.set(CURLOPT_FOLLOWLOCATION, 1L)
        .set(CURLOPT_MAXREDIRS, 5L)
        .set(Curl::Header("Accept: application/json"))
        .set(CURLOPT_WRITEDATA, static_cast<const void*>(&content))
        .set(CURLOPT_WRITEFUNCTION, reinterpret_cast<const void*>(&curlContentParser))
        .set(CURLOPT_SSL_VERIFYPEER, 1L)
        .set(CURLOPT_SSL_VERIFYHOST, 2L)
        .set(CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_ALLOW_BEAST))
        .set(CURLOPT_FAILONERROR, 1L)
        // Timeouts must not rely on signals: the caller may have threads.
        .set(CURLOPT_NOSIGNAL, 1L)
        // Refuses an announced oversized reply before its body arrives.
        .set(CURLOPT_MAXFILESIZE, static_cast<long>(kMaxSitemarkReplyBytes));
    if (!caBundle.empty()) {
        easy.set(CURLOPT_CAINFO, caBundle.c_str()).set(CURLOPT_PROXY_CAINFO, caBundle.c_str());
    }
    if (budget) {
        const Detail::TransferLimits limits = Detail::LimitsForBudget(*budget);
        easy.set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSeconds)
            .set(CURLOPT_LOW_SPEED_LIMIT, 1L)
            // A service that never accepts the connection must not outlast
            // the budget either.
            .set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs)
            .set(CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
    }
    if (proxy.kind != 0) {
        easy.set(CURLOPT_PROXY, proxy.host.c_str())
            .set(CURLOPT_PROXYPORT, static_cast<long>(proxy.port))
            .set(CURLOPT_PROXY_SSL_VERIFYPEER, 1L)
            .set(CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
    }
}

void PerformRequest(const std::string& url, CurlContent& content, SitemarkBudget& budget)
{
    if (budget && budget->count() <= 0) {
        LOG(INFO) << "Sitemark request skipped, time budget used up: " << url;
        return;
    }
    content.body.clear();
    const Clock::time_point started = Clock::now();
    try {
        const char* caBundleVariable = std::getenv("CURL_CA_BUNDLE");
        const std::string caBundle = caBundleVariable != nullptr ? caBundleVariable : "";
        const Networking::ProxyInfo proxy = g_proxyProvider.getProxy(url);

        Curl::CurlEasy easy;
        SetTransferOptions(easy, url, content, caBundle, proxy, budget);
        const double seconds = easy.perform();
        if (budget) {
            *budget = Detail::BudgetAfter(*budget, Detail::SecondsToMilliseconds(seconds));
        }
    } catch (const std::runtime_error& error) {
        // A failed attempt spends the budget as well; otherwise a service
        // that never answers would take the whole budget once per request.
        if (budget) {
            *budget = Detail::BudgetAfter(
                *budget, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started));
        }
        content.body.clear();
        ReportFailure("Sitemark service request " + url, error);
        return;
    }
    ParseReply(url, content);
    content.body.clear();
}

template <typename Value>
Value ValueOr(const CurlContent& content, Value fallback)
{
    const Value* value = std::get_if<Value>(&content.value);
    return value != nullptr ? *value : fallback;
}

} // namespace

void curlRequest(const std::string& url, CurlContent& content, SitemarkBudget& budget)
{
    try {
        PerformRequest(url, content, budget);
    } catch (const std::exception& error) {
        ReportFailure("Sitemark service request " + url, error);
    } catch (...) {
        LOG(ERROR) << "Sitemark service request " << url << " failed with an unknown exception";
    }
}

std::size_t curlContentParser(char* data, std::size_t size, std::size_t count, void* content)
{
    const std::size_t bytes = size * count;
    if (bytes == 0 || content == nullptr) {
        return 0;
    }
    auto* target = static_cast<CurlContent*>(content);
    if (target->body.size() + bytes > kMaxSitemarkReplyBytes) {
        LOG(WARNING) << "Sitemark service reply longer than " << kMaxSitemarkReplyBytes
                     << " bytes, transfer aborted";
        return 0;
    }
    try {
        target->body.append(data, bytes);
    } catch (const std::exception& error) {
        ReportFailure("Storing the sitemark service reply", error);
        return 0;
    }
    return bytes;
}

bool jsonResponseParsed(const nlohmann::json& reply, CurlContent& content)
{
    try {
        return StoreReplyField(reply, content);
    } catch (const std::exception& error) {
        ReportFailure("Reading the sitemark service reply", error);
        return false;
    }
}

std::string requestSitemark(SitemarkBudget& budget)
{
    try {
        CurlContent content{CurlContent::NewId, std::string(), {}};
        curlRequest(ServiceBaseUrl() + "/generate", content, budget);
        return ValueOr<std::string>(content, std::string());
    } catch (const std::exception& error) {
        ReportFailure("Requesting a new sitemark", error);
        return std::string();
    }
}

std::string requestSitemark()
{
    SitemarkBudget unlimited;
    return requestSitemark(unlimited);
}

bool isValidSitemark(const std::string& id, SitemarkBudget& budget)
{
    if (id.empty()) {
        return false;
    }
    try {
        const Curl::CurlEasy escaper;
        CurlContent content{CurlContent::Existence, false, {}};
        curlRequest(ServiceBaseUrl() + "/used/" + EscapeForUrl(escaper, id), content, budget);
        return ValueOr<bool>(content, false);
    } catch (const std::exception& error) {
        ReportFailure("Checking sitemark " + id, error);
        return false;
    }
}

bool isValidSitemark(const std::string& id)
{
    SitemarkBudget unlimited;
    return isValidSitemark(id, unlimited);
}

bool concatenateSitemarks(const std::string& mainId, const std::set<std::string>& ids,
                          SitemarkBudget& budget)
{
    try {
        const Curl::CurlEasy escaper;
        std::string linkQuery;
        for (const std::string& id : ids) {
            if (id.empty() || id == mainId || id == Tracking::Settings::DEFAULT_VALUE_WEB_USER_ID) {
                continue;
            }
            linkQuery += "&link_id[]=" + EscapeForUrl(escaper, id);
        }
        if (linkQuery.empty()) {
            return true;
        }
        CurlContent content{CurlContent::LinkResult, false, {}};
        curlRequest(ServiceBaseUrl() + "/link/batch?main_id=" + EscapeForUrl(escaper, mainId) + linkQuery,
                    content, budget);
        return ValueOr<bool>(content, false);
    } catch (const std::exception& error) {
        ReportFailure("Linking sitemarks to " + mainId, error);
        return false;
    }
}

bool concatenateSitemarks(const std::string& mainId, const std::set<std::string>& ids)
{
    SitemarkBudget unlimited;
    return concatenateSitemarks(mainId, ids, unlimited);
}

} // namespace Zentak::App
