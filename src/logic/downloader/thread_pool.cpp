#include "logic/downloader/thread_pool.h"

#include <utility>

namespace Zentak {

FakeThreadPool::FakeThreadPool(std::function<void()> onTaskQueued)
    : m_onTaskQueued(std::move(onTaskQueued))
{
}

void FakeThreadPool::ExecuteTaskAsync(std::function<void()> task)
{
    std::function<void()> onTaskQueued;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tasks.push_back(std::move(task));
        onTaskQueued = m_onTaskQueued;
    }
    // Outside the lock: the owner may be woken straight into
    // ExecuteScheduledTasks and must not find the queue still locked.
    if (onTaskQueued) {
        onTaskQueued();
    }
}

void FakeThreadPool::ExecuteScheduledTasks()
{
    std::list<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        tasks.swap(m_tasks);
    }
    for (auto& task : tasks) {
        task();
    }
}

void FakeThreadPool::SetTaskQueuedCallback(std::function<void()> onTaskQueued)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_onTaskQueued = std::move(onTaskQueued);
}

} // namespace Zentak
