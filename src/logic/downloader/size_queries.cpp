#include "logic/downloader/size_queries.h"

#include "logic/downloader/download_size.h"

namespace Zentak {

SizeQueries::SizeQueries(std::size_t threads) : m_limit(threads == 0 ? 1 : threads) {}

SizeQueries::~SizeQueries()
{
    Stop();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
}

std::future<std::uint64_t> SizeQueries::Ask(std::string url)
{
    std::promise<std::uint64_t> answer;
    std::future<std::uint64_t> size = answer.get_future();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped) {
        answer.set_value(0);
        return size;
    }
    m_queue.emplace_back(std::move(url), std::move(answer));
    if (m_idle == 0 && m_threads.size() < m_limit) {
        m_threads.emplace_back(&SizeQueries::Work, this);
    } else {
        m_queued.notify_one();
    }
    return size;
}

void SizeQueries::Stop()
{
    std::deque<std::pair<std::string, std::promise<std::uint64_t>>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        dropped.swap(m_queue);
    }
    m_queued.notify_all();
    for (auto& [url, answer] : dropped) {
        answer.set_value(0);
    }
}

void SizeQueries::Work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        ++m_idle;
        m_queued.wait(lock, [this] { return m_stopped || !m_queue.empty(); });
        --m_idle;
        if (m_stopped) {
            return;
        }
        auto [url, answer] = std::move(m_queue.front());
        m_queue.pop_front();
        lock.unlock();
        answer.set_value(GetDownloadSize(url, &m_stopped));
        lock.lock();
    }
}

} // namespace Zentak
