#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Zentak {

// Lets one thread sleep until another has something for it. Raise is safe
// from any thread; a raise that comes before the wait is not lost.
class WakeUpSignal {
public:
    void Raise()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_raised = true;
        }
        m_condition.notify_all();
    }

    // Returns when raised (and clears the signal) or when `timeout` passed.
    template <typename Rep, typename Period>
    void WaitFor(std::chrono::duration<Rep, Period> timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait_for(lock, timeout, [this] { return m_raised; });
        m_raised = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_raised = false;
};

} // namespace Zentak
