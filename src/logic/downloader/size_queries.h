#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Zentak {

// Asks servers for package sizes (GetDownloadSize) on a few threads of its
// own, however many packages a configuration lists: a thread and a
// connection per package would exhaust a process's descriptors and a small
// server's listen queue long before the downloads begin.
//
// Safe from any thread. The destructor stops and waits for its threads.
class SizeQueries {
public:
    static constexpr std::size_t kThreads = 4;

    explicit SizeQueries(std::size_t threads = kThreads);
    ~SizeQueries();

    SizeQueries(const SizeQueries&) = delete;
    SizeQueries& operator=(const SizeQueries&) = delete;

    // Queues the query of `url`; the future gives its size, 0 when unknown
    // or stopped. Threads start as queries come, up to the limit.
    std::future<std::uint64_t> Ask(std::string url);

    // Ends every query: one under way is aborted within about a second, the
    // queued ones and any asked later answer 0 at once.
    void Stop();

private:
    void Work();

    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<std::pair<std::string, std::promise<std::uint64_t>>> m_queue;
    std::atomic<bool> m_stopped{false};
    std::size_t m_limit;
    std::size_t m_idle = 0;
    std::vector<std::thread> m_threads;
};

} // namespace Zentak
