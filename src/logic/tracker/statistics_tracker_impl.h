#pragma once

#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "logic/tracker/statistics_tracker.h"
#include "utils/ini_reader.h"

namespace Zentak {

namespace HttpClient {

// What is left of a request body: the next unsent byte and the count of bytes
// not yet handed to libcurl.
using UploadState = std::pair<const char*, std::size_t>;

// libcurl's read callback for a request body described by an UploadState.
std::size_t CurlContentWriter(char* buffer, std::size_t size, std::size_t count, void* state);

} // namespace HttpClient

// Queues event fragments from any thread and sends them from its own sender
// thread once Initialize has named the endpoint. Failed sends are retried
// after 100 ms, 300 ms and then every 1000 ms while the tracker runs; its
// destructor ends any pause, makes one last attempt and joins the sender
// thread. Each attempt is bounded by the 2-second request limit, so shutdown
// waits at most for an attempt in flight and the last one.
class StatisticsTracker final : public IStatisticsTracker {
public:
    StatisticsTracker();
    ~StatisticsTracker() override;

    StatisticsTracker(const StatisticsTracker&) = delete;
    StatisticsTracker& operator=(const StatisticsTracker&) = delete;

    // Any thread.
    void Initialize(const std::string& url, const std::string& id) override;
    // Any thread; builds the fragment outside the lock.
    void TrackEvent(std::string name, const EventParameters& params) override;

private:
    // The sender thread's body: catches everything at the thread boundary.
    // Each package goes to `templateUrl` with `parameters` and its sending
    // time, built afresh from the configured template (see Util::BuildUrl).
    void StatisticsSenderLoop(std::string templateUrl, Util::UrlParameters parameters);
    void RunSenderLoop(const std::string& templateUrl, const Util::UrlParameters& parameters);
    // One POST of `body`, bounded by the request time limit; throws on any
    // failure, including an incomplete upload. A transfer in flight when the
    // tracker stops is left to finish: the collector may already have taken
    // its package, and cutting it short would send those events twice.
    static void SendPackage(const std::string& url, const std::string& body);

    // Guarded by m_mutex.
    bool m_running = true;
    // Complete with key, version and tracker; empty until Initialize.
    std::string m_url;
    std::string m_lastEventName;
    std::string m_lastEventId;
    // Fragments waiting for the sender, oldest first.
    std::list<std::string> m_queue;

    std::mutex m_mutex;
    // Signalled when an event is queued or the tracker stops.
    std::condition_variable m_condition;
    // Started by Initialize, joined by the destructor.
    std::thread m_sender;
};

} // namespace Zentak
