#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logic/downloader/events_dispatcher.h"
#include "logic/downloader/thread_pool.h"

namespace Zentak {
namespace {

TEST(FakeThreadPool, RunsTasksOnlyWhenPumpedInQueuingOrder)
{
    FakeThreadPool pool;
    std::vector<int> ran;
    for (int i = 0; i < 3; ++i) {
        pool.ExecuteTaskAsync([&ran, i] { ran.push_back(i); });
    }
    EXPECT_TRUE(ran.empty());
    pool.ExecuteScheduledTasks();
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
    pool.ExecuteScheduledTasks();
    EXPECT_EQ(ran.size(), 3u) << "a task ran twice";
}

TEST(FakeThreadPool, TaskQueuedWhileRunningWaitsForNextPump)
{
    FakeThreadPool pool;
    std::vector<std::string> ran;
    pool.ExecuteTaskAsync([&] {
        ran.push_back("first");
        pool.ExecuteTaskAsync([&] { ran.push_back("queued by first"); });
    });
    pool.ExecuteScheduledTasks();
    EXPECT_EQ(ran, std::vector<std::string>{"first"});
    pool.ExecuteScheduledTasks();
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "queued by first"}));
}

TEST(FakeThreadPool, PendingTasksAreDroppedUnrunOnDestruction)
{
    auto counter = std::make_shared<int>(0);
    {
        FakeThreadPool pool;
        pool.ExecuteTaskAsync([counter] { ++*counter; });
        EXPECT_EQ(counter.use_count(), 2);
    }
    EXPECT_EQ(*counter, 0);
    EXPECT_EQ(counter.use_count(), 1) << "the dropped task was not destroyed";
}

TEST(FakeThreadPool, WakeUpCallbackFollowsEachQueuingOutsideTheLock)
{
    FakeThreadPool* self = nullptr;
    int wakeUps = 0;
    std::vector<size_t> ranAtWakeUp;
    std::vector<int> ran;
    FakeThreadPool pool([&] {
        ++wakeUps;
        // The queue is unlocked already and holds the new task: pumping here
        // neither deadlocks nor misses it.
        self->ExecuteScheduledTasks();
        ranAtWakeUp.push_back(ran.size());
    });
    self = &pool;
    pool.ExecuteTaskAsync([&] { ran.push_back(1); });
    pool.ExecuteTaskAsync([&] { ran.push_back(2); });
    EXPECT_EQ(wakeUps, 2);
    EXPECT_EQ(ranAtWakeUp, (std::vector<size_t>{1, 2}));

    int replaced = 0;
    pool.SetTaskQueuedCallback([&] { ++replaced; });
    pool.ExecuteTaskAsync([] {});
    EXPECT_EQ(wakeUps, 2);
    EXPECT_EQ(replaced, 1);
}

TEST(FakeThreadPool, TasksFromManyThreadsRunOnceInPerThreadOrder)
{
    constexpr int kThreads = 4;
    constexpr int kTasks = 500;
    std::atomic<int> wakeUps{0};
    FakeThreadPool pool([&] { ++wakeUps; });
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&pool, &seen, t] {
            for (int i = 0; i < kTasks; ++i) {
                pool.ExecuteTaskAsync([&seen, t, i] { seen[t].push_back(i); });
            }
        });
    }
    // Pump while the producers run, as the owner's loop does.
    for (int round = 0; round < 10000 && wakeUps < kThreads * kTasks; ++round) {
        pool.ExecuteScheduledTasks();
        std::this_thread::yield();
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    pool.ExecuteScheduledTasks();
    EXPECT_EQ(wakeUps, kThreads * kTasks);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasks)) << "thread " << t;
        for (int i = 0; i < kTasks; ++i) {
            ASSERT_EQ(seen[t][i], i) << "thread " << t;
        }
    }
}

struct Observer {
    std::vector<std::string> calls;
    void OnText(const std::string& text, unsigned long long number)
    {
        calls.push_back(text + ":" + std::to_string(number));
    }
    void OnThrow(int code)
    {
        calls.push_back("throw " + std::to_string(code));
        throw std::runtime_error("observer failed");
    }
};

TEST(EventsDispatcher, CopiesArgumentsWhenQueuedAndCallsOnlyWhenPumped)
{
    auto pool = std::make_shared<FakeThreadPool>();
    Observer observer;
    EventsDispatcher<Observer> dispatcher(pool, observer);

    std::string text = "before";
    char buffer[] = "buffer";
    dispatcher.DispatchEvent(&Observer::OnText, text, 1ULL);
    dispatcher.DispatchEvent(&Observer::OnText, static_cast<const char*>(buffer), 2ULL);
    text = "after";
    buffer[0] = 'X';
    EXPECT_TRUE(observer.calls.empty());

    pool->ExecuteScheduledTasks();
    EXPECT_EQ(observer.calls, (std::vector<std::string>{"before:1", "buffer:2"}));
}

TEST(EventsDispatcher, ObserverExceptionIsSwallowedAndLaterEventsStillRun)
{
    auto pool = std::make_shared<FakeThreadPool>();
    Observer observer;
    EventsDispatcher<Observer> dispatcher(pool, observer);
    dispatcher.DispatchEvent(&Observer::OnThrow, 7);
    dispatcher.DispatchEvent(&Observer::OnText, std::string("next"), 3ULL);
    EXPECT_NO_THROW(pool->ExecuteScheduledTasks());
    EXPECT_EQ(observer.calls, (std::vector<std::string>{"throw 7", "next:3"}));
}

} // namespace
} // namespace Zentak
