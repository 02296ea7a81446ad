#pragma once

#include <exception>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include <glog/logging.h>

#include "logic/downloader/thread_pool.h"

namespace Zentak {

// Turns calls of an observer into tasks on a pool, so that a worker thread can
// report to an observer that lives on another thread. The observer must
// outlive every task the pool may still run.
template <typename Interface>
class EventsDispatcher {
public:
    EventsDispatcher(std::shared_ptr<IThreadPool> pool, Interface& observer)
        : m_pool(std::move(pool)), m_observer(observer)
    {
    }

    // Queues `(observer.*method)(args...)`. The arguments are copied now, as
    // the method's parameter types without reference (strings by value), so
    // the task owns everything it passes. An exception from the observer is
    // logged and swallowed; it never reaches whoever pumps the pool.
    // Safe from any thread.
    template <typename... Params, typename... Args>
    void DispatchEvent(void (Interface::*method)(Params...), Args&&... args) const
    {
        static_assert(sizeof...(Params) == sizeof...(Args), "wrong argument count");
        Interface* observer = &m_observer;
        m_pool->ExecuteTaskAsync(
            [observer, method,
             values = std::tuple<std::decay_t<Params>...>(std::forward<Args>(args)...)]() {
                try {
                    std::apply([&](const auto&... value) { (observer->*method)(value...); },
                               values);
                } catch (const std::exception& error) {
                    LOG(INFO) << "Observer call failed: " << error.what();
                }
            });
    }

private:
    std::shared_ptr<IThreadPool> m_pool;
    Interface& m_observer;
};

} // namespace Zentak
