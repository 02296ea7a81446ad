#include "logic/downloader/download_size.h"

#include <any>
#include <exception>

#include <glog/logging.h>

#include "external/crash_handler.h"
#include "net/curl_easy.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

constexpr long kLowSpeedTime = 5;  // seconds
constexpr long kLowSpeedLimit = 1; // bytes per second

// The setting is a text that switches the query off when not empty. Written
// as a bare flag it holds a bool instead; the cast then throws, and that
// failure also means "no size", as for any other failure of the query.
bool LengthAssumedUnavailable()
{
    const std::any value = Settings::Get(Settings::ID::AssumeContentLengthUnavailable);
    return value.has_value() && !std::any_cast<std::string>(value).empty();
}

constexpr long kConnectTimeout = 10;

int AbortWhenStopped(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

} // namespace

std::uint64_t GetDownloadSize(const std::string& url, const std::atomic<bool>* stop)
{
    try {
        if (LengthAssumedUnavailable()) {
            return 0;
        }
        Curl::CurlEasy session(url);
        session.Set(CURLOPT_NOBODY, 1L)
            .Set(CURLOPT_LOW_SPEED_TIME, kLowSpeedTime)
            .Set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit)
            // The low-speed rule starts once connected; a host that never
            // answers the connection would otherwise hold the size (and the
            // run's end, which waits for it) for libcurl's five minutes.
            .Set(CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
        if (stop) {
            session.Set(CURLOPT_XFERINFOFUNCTION, &AbortWhenStopped)
                .Set(CURLOPT_XFERINFODATA, static_cast<const void*>(stop))
                .Set(CURLOPT_NOPROGRESS, 0L);
        }
        session.Perform();
        const std::int64_t length = session.GetContentLength();
        return length < 0 ? 0 : static_cast<std::uint64_t>(length);
    } catch (const std::exception& exception) {
        LOG(INFO) << "Download size of " << url << " unknown: " << exception.what();
        Core::TrackException(Core::TypeName(exception), exception.what());
        return 0;
    }
}

} // namespace Zentak
