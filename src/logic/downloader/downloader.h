#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logic/downloader/download_item.h"
#include "logic/downloader/thread_pool.h"

namespace Zentak {

// Item events. All run on the downloader owner's thread, from DoMainThreadWork
// or Download. The events of one item come in the order started, progress
// (zero or more), finished; a failed or stopped item gets no finish event.
class IDownloadItemEvents {
public:
    virtual ~IDownloadItemEvents() = default;
    // The second argument is always 0.
    virtual void OnItemDownloadStarted(const std::string& name, unsigned long long) = 0;
    // Bytes received so far, expected size and whole percent 0-100; only sent
    // for items whose size is known, and only when the percent changes.
    virtual void OnItemProgressUpdated(const std::string& name, unsigned long long downloaded,
                                       unsigned long long total, unsigned char percent) = 0;
    // `size` is the expected size as libcurl last reported it (0 if never
    // known). The item's stream has been flushed and closed by then.
    virtual void OnItemDownloadFinished(const std::string& name, unsigned long long size) = 0;
};

// Batch events, on the owner's thread as well. Every batch sends exactly one
// OnWorkStarted and then exactly one of OnWorkFinished and OnWorkFailed.
class IDownloadBatchEvents {
public:
    virtual ~IDownloadBatchEvents() = default;
    // The batch total known when the worker starts: always 0.
    virtual void OnWorkStarted(unsigned long long total) = 0;
    // Sums over the items that have reported a size so far (so the percent may
    // fall when another item first reports its size); sent when the whole
    // percent changes.
    virtual void OnWorkProgressUpdated(unsigned long long downloaded, unsigned long long total,
                                       unsigned char percent) = 0;
    virtual void OnWorkFinished(unsigned long long total) = 0;
    // Any failure of any item fails the whole batch; the other transfers are
    // abandoned. `error` is empty when the batch was stopped or had no items.
    virtual void OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                              std::string error) = 0;
};

class IDownloaderEvents : public IDownloadItemEvents, public IDownloadBatchEvents {
};

class DownloadBatch;

// What the controller needs of a downloader; tests give it a fake.
class IDownloader {
public:
    virtual ~IDownloader() = default;
    virtual void Download(std::vector<DownloadItem>&& items) = 0;
    virtual void DoMainThreadWork() = 0;
    // Why the last batch failed, in plain words ("HTTP 404 for <url>",
    // "sha256 mismatch for <name>: ..."); meaningful from its OnWorkFailed
    // until the next Download.
    virtual std::string FailureCause() const = 0;
};

// Downloads a batch of files in parallel on a worker thread of its own and
// reports through IDownloaderEvents. Observer calls are never made from the
// worker: they are queued and run on the owner's thread when the owner calls
// DoMainThreadWork (or Download).
//
// Threads: the owner's thread calls Download and DoMainThreadWork and destroys
// the downloader; it may be another thread than the one that constructed it.
// The observer is held by reference and must outlive the downloader.
// Transfers fail after 15 seconds below 1 byte per second; there is no
// overall time limit unless an item gives one, and no retry: the owner
// decides whether to start again.
class Downloader : public IDownloader {
public:
    // `onTaskQueued` is called, on whichever thread queues an event (the
    // worker or the owner), each time an event is waiting for
    // DoMainThreadWork. It must be cheap and safe from any thread and must
    // not pump the downloader itself: it is meant to raise the wake-up signal
    // of the owner's loop. It changes neither the order nor the thread of
    // any observer call.
    explicit Downloader(IDownloaderEvents& events, std::function<void()> onTaskQueued = {});
    ~Downloader() override;

    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Ends the running batch, if any (its OnWorkFailed with an empty text is
    // delivered during this call, with every other event still queued), then
    // starts a new batch of `items`. A libcurl failure while the transfers are
    // set up throws std::runtime_error; no batch is kept then.
    void Download(std::vector<DownloadItem>&& items) override;

    // Runs every queued observer call now, on this thread.
    void DoMainThreadWork() override;

    std::string FailureCause() const override;

    // See FakeThreadPool::SetTaskQueuedCallback.
    void SetTaskQueuedCallback(std::function<void()> onTaskQueued);

    // Tests only: shortens the 15 seconds a transfer may stay below 1 byte per
    // second, for batches started afterwards. 0 restores the default.
    static void SetLowSpeedTimeForTesting(long seconds);

private:
    void CheckOwnerThread();

    IDownloaderEvents& m_events;
    std::shared_ptr<FakeThreadPool> m_pool;
    std::unique_ptr<DownloadBatch> m_batch;
    std::thread::id m_ownerThread;
};

} // namespace Zentak
