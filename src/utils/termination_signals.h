#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace Zentak {

// Turns Ctrl-C (SIGINT), SIGTERM and SIGHUP into a call on a thread of its
// own, so that a request to stop ends the run the way its exit button does
// instead of killing it in the middle of a write.
//
// The constructor blocks the signals in the constructing thread; every thread
// started after it inherits the block, so the watcher alone takes them. Use
// it on the main thread before other threads exist. Start and Stop are
// called on that thread too.
class TerminationSignalWatcher {
public:
    TerminationSignalWatcher();
    ~TerminationSignalWatcher();
    TerminationSignalWatcher(const TerminationSignalWatcher&) = delete;
    TerminationSignalWatcher& operator=(const TerminationSignalWatcher&) = delete;

    // `onSignal` runs on the watcher's thread with the signal's number.
    void Start(std::function<void(int)> onSignal);
    // Returns once the watcher has ended; later signals stay pending.
    void Stop();

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// "SIGTERM" for the signals the watcher takes, "signal <n>" for others.
std::string SignalName(int signal);

} // namespace Zentak
