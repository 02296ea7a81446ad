#include "utils/wake_up_signal.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace Zentak {
namespace {

using Clock = std::chrono::steady_clock;

TEST(WakeUpSignalTest, RaiseFromAnotherThreadEndsALongWait)
{
    WakeUpSignal signal;
    std::atomic<bool> waiting{false};
    std::thread raiser([&] {
        while (!waiting) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        signal.Raise();
    });
    waiting = true;
    const auto start = Clock::now();
    signal.WaitFor(std::chrono::seconds(30));
    const auto waited = Clock::now() - start;
    raiser.join();
    // Far below the 30 s timeout: the raise, not the timeout, ended the wait.
    EXPECT_LT(waited, std::chrono::seconds(10));
}

TEST(WakeUpSignalTest, RaiseBeforeTheWaitIsNotLostAndIsConsumedOnce)
{
    WakeUpSignal signal;
    signal.Raise();
    signal.Raise();
    const auto start = Clock::now();
    signal.WaitFor(std::chrono::seconds(30));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    // Both raises were consumed by that wait: the next one times out.
    const auto second = Clock::now();
    signal.WaitFor(std::chrono::milliseconds(50));
    EXPECT_GE(Clock::now() - second, std::chrono::milliseconds(40));
}

TEST(WakeUpSignalTest, ManyRaisersNeverLeaveAWaiterAsleep)
{
    WakeUpSignal signal;
    std::atomic<int> raised{0};
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t) {
        raisers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                signal.Raise();
                ++raised;
            }
        });
    }
    int wakeUps = 0;
    while (raised < 800 && wakeUps < 100000) {
        signal.WaitFor(std::chrono::seconds(5));
        ++wakeUps;
    }
    for (auto& raiser : raisers) {
        raiser.join();
    }
    EXPECT_EQ(raised, 800);
}

} // namespace
} // namespace Zentak
