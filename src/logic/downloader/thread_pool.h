#pragma once

#include <functional>
#include <list>
#include <mutex>

namespace Zentak {

// Something that runs tasks for its owner.
class IThreadPool {
public:
    virtual ~IThreadPool() = default;
    // Safe from any thread.
    virtual void ExecuteTaskAsync(std::function<void()> task) = 0;
};

// A queue of tasks that run on the owner's thread when the owner pumps it, so
// that work finished on a worker thread is handed back to the owner. Tasks
// still pending when the pool is destroyed are dropped unrun.
class FakeThreadPool : public IThreadPool {
public:
    // `onTaskQueued` tells the owner that work is waiting (it raises the wake-up
    // signal of the owner's loop). It runs on the queuing thread, right after
    // each ExecuteTaskAsync and outside the queue's lock, so it must be cheap and
    // safe from any thread and must not run tasks itself.
    explicit FakeThreadPool(std::function<void()> onTaskQueued = {});
    ~FakeThreadPool() override = default;

    FakeThreadPool(const FakeThreadPool&) = delete;
    FakeThreadPool& operator=(const FakeThreadPool&) = delete;

    // Safe from any thread.
    void ExecuteTaskAsync(std::function<void()> task) override;

    // Owner's thread only: runs every task queued so far, in queuing order.
    // Tasks queued while these run wait for the next call.
    void ExecuteScheduledTasks();

    // Replaces the wake-up callback. Safe from any thread; a queuing that is
    // already under way may still call the previous one.
    void SetTaskQueuedCallback(std::function<void()> onTaskQueued);

private:
    std::mutex m_mutex;
    std::list<std::function<void()>> m_tasks;
    std::function<void()> m_onTaskQueued;
};

} // namespace Zentak
