#include "logic/downloader/downloader.h"

#include <atomic>

#include <glog/logging.h>

#include "logic/downloader/download_batch.h"

namespace Zentak {
namespace {

constexpr long kLowSpeedTime = 15; // seconds below the low-speed limit before a transfer fails
std::atomic<long> lowSpeedTimeForTesting{0};

} // namespace

Downloader::Downloader(IDownloaderEvents& events, std::function<void()> onTaskQueued)
    : m_events(events), m_pool(std::make_shared<FakeThreadPool>(std::move(onTaskQueued)))
{
}

Downloader::~Downloader()
{
    LOG(INFO) << "Downloader destruction started";
    m_batch.reset();
    LOG(INFO) << "Downloader destructed";
}

void Downloader::Download(std::vector<DownloadItem>&& items)
{
    CheckOwnerThread();
    m_batch.reset();
    // Whatever the previous batch queued, its failure event included, reaches
    // the observer before anything of the new batch.
    m_pool->ExecuteScheduledTasks();
    const long testTime = lowSpeedTimeForTesting.load();
    m_batch = std::make_unique<DownloadBatch>(m_events, m_pool, std::move(items),
                                              testTime > 0 ? testTime : kLowSpeedTime);
}

void Downloader::DoMainThreadWork()
{
    CheckOwnerThread();
    m_pool->ExecuteScheduledTasks();
}

std::string Downloader::FailureCause() const
{
    return m_batch ? m_batch->FailureCause() : std::string();
}

void Downloader::SetTaskQueuedCallback(std::function<void()> onTaskQueued)
{
    m_pool->SetTaskQueuedCallback(std::move(onTaskQueued));
}

void Downloader::SetLowSpeedTimeForTesting(long seconds)
{
    lowSpeedTimeForTesting = seconds;
}

// The owner is the first thread that downloads or pumps: the downloader may
// be built on another thread than the one that uses it.
void Downloader::CheckOwnerThread()
{
    if (m_ownerThread == std::thread::id()) {
        m_ownerThread = std::this_thread::get_id();
    }
    DCHECK(m_ownerThread == std::this_thread::get_id())
        << "Downloader used from two threads";
}

} // namespace Zentak
