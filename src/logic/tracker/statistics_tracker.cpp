#include "logic/tracker/statistics_tracker.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <glog/logging.h>

#include "external/crash_handler.h"
#include "net/curl_easy.h"
#include "logic/tracker/event.h"
#include "logic/tracker/statistics_tracker_impl.h"
#include "utils/ini_reader.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

using namespace std::chrono_literals;

constexpr auto kFirstPause = 100ms;
constexpr auto kSecondPause = 300ms;
constexpr auto kLaterPause = 1000ms;
// Whole-request limit of one attempt; it also bounds the last attempt, and
// with it how long shutdown can wait for an unreachable endpoint.
constexpr long kRequestTimeoutSeconds = 2;

constexpr const char* kTrackerProtocolVersion = "1.0.0.0";

} // namespace

namespace HttpClient {

std::size_t CurlContentWriter(char* buffer, std::size_t size, std::size_t count, void* state)
{
    auto* upload = static_cast<UploadState*>(state);
    const std::size_t length = std::min(size * count, upload->second);
    if (length > 0) {
        std::memcpy(buffer, upload->first, length);
        upload->first += length;
        upload->second -= length;
    }
    return length;
}

} // namespace HttpClient

std::shared_ptr<IStatisticsTracker> IStatisticsTracker::Create()
{
    return std::make_shared<StatisticsTracker>();
}

StatisticsTracker::StatisticsTracker()
{
    LOG(INFO) << "Statistics tracker created, started tracking events";
}

StatisticsTracker::~StatisticsTracker()
{
    LOG(INFO) << "Statistics tracker destruction started";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_condition.notify_all();
    if (m_sender.joinable()) {
        m_sender.join();
    }
    if (!m_queue.empty()) {
        LOG(INFO) << "Some events were not sent:\n" << Tracking::BuildPackage(m_queue);
    }
    LOG(INFO) << "Statistics tracker destructed, all statistics sent.";
}

void StatisticsTracker::Initialize(const std::string& url, const std::string& id)
{
    LOG(INFO) << "Statistics tracker initialization started, url = \"" << url << "\", id = \""
              << id << "\"";
    Util::UrlParameters parameters = {
        {"key", id},
        {"version", Settings::GetString(Settings::ID::ProductVersion, "1.0.0.0")},
        {"tracker", kTrackerProtocolVersion}};
    const std::string endpoint = Util::BuildUrl(url, parameters);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_url.empty()) {
        // A configuration with a second statistics section: the first
        // endpoint is kept and the call ignored, so that one sender thread at
        // most exists and the events of a run all go to one collector.
        LOG(WARNING) << "Double initialization attempted";
        return;
    }
    if (!m_running) {
        LOG(WARNING) << "Initialization failed as statistics tracker already destructed";
        return;
    }
    // The thread is started before the URL is stored: should starting it
    // fail, the tracker stays uninitialized instead of claiming a sender.
    m_sender = std::thread(&StatisticsTracker::StatisticsSenderLoop, this, url,
                           std::move(parameters));
    m_url = endpoint;
    LOG(INFO) << "Statistics tracker initialization succeeded";
}

void StatisticsTracker::TrackEvent(std::string name, const EventParameters& params)
{
    LOG(INFO) << "Event \"" << name << "\" tracked";
    Tracking::EventChain chain;
    chain.uniqueId = Tracking::GenerateUUIDv4String();
    bool running = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        running = m_running;
        chain.previousName = std::exchange(m_lastEventName, name);
        chain.previousId = std::exchange(m_lastEventId, chain.uniqueId);
    }

    std::vector<Tracking::Event::Param> all = Tracking::StandardEventParams(chain);
    for (const auto& [paramName, value] : params) {
        all.push_back({paramName, value, "text"});
    }
    std::string fragment = Tracking::BuildEventFragment(name, all);

    if (!running) {
        LOG(INFO) << "Event would not be sent as sender loop is no more running, event:\n"
                  << fragment;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(fragment));
    }
    m_condition.notify_all();
}

namespace {

// The reply is ignored. Without a write function libcurl would copy it to
// standard output, into the middle of what the program prints.
size_t DiscardReply(char*, size_t size, size_t count, void*)
{
    return size * count;
}

} // namespace

void StatisticsTracker::SendPackage(const std::string& url, const std::string& body)
{
    HttpClient::UploadState upload{body.data(), body.size()};
    Curl::CurlEasy request(url);
    request.SetHeader("Content-Type: text/xml;charset=utf-8")
        .Set(CURLOPT_POST, 1L)
        .Set(CURLOPT_READDATA, &upload)
        .Set(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()))
        .Set(CURLOPT_READFUNCTION, &HttpClient::CurlContentWriter)
        .Set(CURLOPT_WRITEFUNCTION, &DiscardReply)
        .Set(CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    request.Perform();
    if (upload.second != 0) {
        throw std::runtime_error("Statistics upload incomplete: " +
                                 std::to_string(body.size() - upload.second) + " of " +
                                 std::to_string(body.size()) + " bytes sent to " + url);
    }
}

void StatisticsTracker::StatisticsSenderLoop(std::string templateUrl,
                                             Util::UrlParameters parameters)
{
    const std::string url = Util::BuildUrl(templateUrl, parameters);
    try {
        RunSenderLoop(templateUrl, parameters);
    } catch (const std::exception& error) {
        LOG(ERROR) << "Statistics sender loop failed, url = \"" << url << "\": " << error.what();
        Core::TrackException(Core::TypeName(error), error.what());
    } catch (...) {
        LOG(ERROR) << "Statistics sender loop failed with an unknown exception, url = \"" << url
                   << "\"";
        Core::TrackException("unknown", "Statistics sender loop failed");
    }
}

void StatisticsTracker::RunSenderLoop(const std::string& templateUrl,
                                      const Util::UrlParameters& parameters)
{
    LOG(INFO) << "Sender loop started. Events will be sent to URL "
              << Util::BuildUrl(templateUrl, parameters);
    Util::UrlParameters requestParameters = parameters;
    requestParameters.emplace_back("cur_time_local", "");
    std::list<std::string> pending;
    auto pause = std::chrono::milliseconds(kFirstPause);
    bool running = true;
    do {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (pending.empty()) {
                m_condition.wait(lock, [this] { return !m_queue.empty() || !m_running; });
            }
            // Read after the wait: when the wake-up was the stop, this pass is
            // already the last attempt rather than one more retry before it.
            running = m_running;
            pending.splice(pending.end(), m_queue);
        }
        if (pending.empty()) {
            continue;
        }

        const std::string body = Tracking::BuildPackage(pending);
        requestParameters.back().second =
            Tracking::FormatLocalTime(std::chrono::system_clock::now());
        const std::string requestUrl = Util::BuildUrl(templateUrl, requestParameters);
        try {
            SendPackage(requestUrl, body);
            LOG(INFO) << "Statistics sent successfully, url = \"" << requestUrl << "\", package:\n"
                      << body;
            pending.clear();
            pause = kFirstPause;
        } catch (const std::exception& error) {
            LOG(WARNING) << "Statistics sending failed, url = \"" << requestUrl
                         << "\": " << error.what();
            if (running) {
                // Events queued meanwhile do not end the pause; only the stop
                // does, so that the last attempt is not delayed.
                std::unique_lock<std::mutex> lock(m_mutex);
                const auto deadline = std::chrono::steady_clock::now() + pause;
                m_condition.wait_until(lock, deadline, [this] { return !m_running; });
                pause = pause == kFirstPause ? std::chrono::milliseconds(kSecondPause)
                                             : std::chrono::milliseconds(kLaterPause);
            } else {
                // The last attempt failed: these events go nowhere else, so
                // the log keeps them like the ones that never left the queue.
                Core::TrackException(Core::TypeName(error), error.what());
                LOG(INFO) << "Some events were not sent:\n" << body;
                pending.clear();
            }
        }
    } while (running);
}

} // namespace Zentak
