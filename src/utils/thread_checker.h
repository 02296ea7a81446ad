#pragma once

#include <atomic>
#include <thread>

namespace Zentak::Util {

// Catches a call on the wrong thread in debug builds; in release builds it
// holds nothing and checks nothing. An object records its owner thread when
// it is made and checks it at its entry points. An object made on one thread
// for use on another detaches its checker: the next check binds it.
class ThreadChecker {
public:
#ifdef NDEBUG
    void Detach() {}
    bool CalledOnOwnerThread() const { return true; }
#else
    ThreadChecker() : m_owner(std::this_thread::get_id()) {}
    void Detach() { m_owner.store(std::thread::id()); }
    bool CalledOnOwnerThread() const
    {
        const std::thread::id current = std::this_thread::get_id();
        std::thread::id owner = m_owner.load();
        if (owner == std::thread::id()) {
            // The first check of a detached checker binds it; of two
            // threads checking at once, one wins and the other fails.
            return m_owner.compare_exchange_strong(owner, current) || owner == current;
        }
        return owner == current;
    }

private:
    mutable std::atomic<std::thread::id> m_owner;
#endif
};

} // namespace Zentak::Util

// Aborts a debug build when called off the checker's thread.
#ifdef NDEBUG
#define ZENTAK_CHECK_THREAD(checker) static_cast<void>(0)
#else
#include <cassert>
#define ZENTAK_CHECK_THREAD(checker) assert((checker).CalledOnOwnerThread())
#endif
