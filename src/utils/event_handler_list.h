#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

namespace Zentak::Core {

// A publisher of events to observers of type T.
template <typename T>
class EventPublisher {
public:
    virtual void RegisterEventHandler(T* handler) = 0;
    virtual void UnregisterEventHandler(T* handler) = 0;
    virtual ~EventPublisher() = default;
};

// Observers are called directly on the thread that publishes.
struct SyncExecutePolicy {};

template <typename T, typename Policy>
class EventHandlerList;

// Keeps observers in registration order. Safe from any thread: the list is
// copied under its guard, and observers are called outside it, one
// notification at a time, so an observer may (un)register during a call;
// the change takes effect from the next notification.
template <typename T>
class EventHandlerList<T, SyncExecutePolicy> : public virtual EventPublisher<T> {
public:
    void RegisterEventHandler(T* handler) override
    {
        if (!handler) {
            return;
        }
        std::lock_guard<std::recursive_mutex> lock(m_listGuard);
        if (std::find(m_handlers.begin(), m_handlers.end(), handler) == m_handlers.end()) {
            m_handlers.push_back(handler);
        }
    }

    void UnregisterEventHandler(T* handler) override
    {
        if (!handler) {
            return;
        }
        std::lock_guard<std::recursive_mutex> lock(m_listGuard);
        auto it = std::find(m_handlers.begin(), m_handlers.end(), handler);
        if (it != m_handlers.end()) {
            m_handlers.erase(it);
        }
    }

    template <typename Call>
    void PerformForEachEventHandler(Call&& call)
    {
        std::vector<T*> handlers;
        {
            std::lock_guard<std::recursive_mutex> lock(m_listGuard);
            handlers = m_handlers;
        }
        std::lock_guard<std::recursive_mutex> execution(m_executionGuard);
        for (T* handler : handlers) {
            call(*handler);
        }
    }

private:
    std::vector<T*> m_handlers;
    std::recursive_mutex m_listGuard;
    std::recursive_mutex m_executionGuard;
};

} // namespace Zentak::Core
