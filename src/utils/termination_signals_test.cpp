#include "utils/termination_signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace Zentak {
namespace {

// A request to stop reaches the callback instead of ending the process, for
// each of the three signals, and none after Stop.
TEST(TerminationSignalWatcherTest, SignalsBecomeCallsUntilStopped)
{
    TerminationSignalWatcher watcher;
    std::atomic<int> last{0};
    std::atomic<int> calls{0};
    watcher.Start([&](int signal) {
        last = signal;
        ++calls;
    });
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const int before = calls;
        ASSERT_EQ(kill(getpid(), signal), 0);
        for (int i = 0; i < 500 && calls == before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(last, signal);
    }
    watcher.Stop();
    EXPECT_EQ(calls, 3);

    // Blocked and unwatched: pending, not fatal. Take it back out.
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGTERM));
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    int taken = 0;
    sigwait(&term, &taken);
    EXPECT_EQ(calls, 3);
}

} // namespace
} // namespace Zentak
