#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <boost/algorithm/string/predicate.hpp>

#include <glog/logging.h>

#include "external/crash_handler.h"

#include "logic/downloader/download_entry_parts.h"

namespace Zentak {
namespace {

constexpr std::chrono::milliseconds kPollInterval(250);

} // namespace

DownloadBatch::DownloadBatch(IDownloaderEvents& events, std::shared_ptr<FakeThreadPool> pool,
                             std::vector<DownloadItem>&& items, long lowSpeedTime)
    : EventsDispatcher<IDownloadBatchEvents>(pool, events)
{
    // Segmented items need more connections than the usual limit for one
    // item to use them all; the limit stays bounded whatever they ask.
    long most = Curl::CurlMulti::kMaxConnections;
    for (const DownloadItem& item : items) {
        most = std::max<long>(most,
                              std::clamp(item.connections, 1, DownloadItem::kMostConnections));
    }
    m_multi.SetMaxConnections(most);
    for (DownloadItem& item : items) {
        m_entries.emplace_back(*this, events, pool, std::move(item), lowSpeedTime);
    }
    m_worker = std::thread(&DownloadBatch::Download, this);
}

DownloadBatch::~DownloadBatch()
{
    m_stop.exchange(true);
    m_multi.WakeUp();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

DownloadBatch::DownloadEntry* DownloadBatch::EntryOf(const Curl::CurlEasy& session)
{
    for (DownloadEntry& entry : m_entries) {
        if (entry.Holds(session)) {
            return &entry;
        }
    }
    return nullptr;
}

void DownloadBatch::Download()
{
    std::string error;
    try {
        LOG(INFO) << "Download started";
        DispatchEvent(&IDownloadBatchEvents::OnWorkStarted, m_total.load());
        while (!m_entries.empty() && !m_stop) {
            m_multi.Perform();
            for (const Curl::CurlMulti::Completion& completion : m_multi.TakeCompletions()) {
                DownloadEntry* entry = EntryOf(completion.session);
                if (entry && entry->Completed(completion.session, completion.result)) {
                    m_entries.remove_if([&](const DownloadEntry& e) { return &e == entry; });
                }
            }
            for (DownloadEntry& entry : m_entries) {
                entry.Tend();
            }
            if (m_entries.empty()) {
                LOG(INFO) << "Download finished";
                DispatchEvent(&IDownloadBatchEvents::OnWorkFinished, m_total.load());
                return;
            }
            m_multi.Poll(kPollInterval);
        }
    } catch (const std::exception& exception) {
        if (m_stop) {
            // The stop itself aborts the transfers; that is no failure to report.
            LOG(INFO) << "Downloader stopped: " << exception.what();
        } else {
            error = exception.what();
            // A transfer's failure says in plain words what went wrong; an
            // entry's own refusal (a mismatch, every source failed) is
            // plain already.
            const auto* transfer = dynamic_cast<const Curl::TransferFailure*>(&exception);
            std::lock_guard<std::mutex> lock(m_causeMutex);
            m_cause = transfer ? transfer->Cause() : error;
            LOG(INFO) << "Downloader error: " << error;
            Core::TrackException(Core::TypeName(exception), error);
        }
    }
    Fail(error);
}

std::string DownloadBatch::FailureCause() const
{
    std::lock_guard<std::mutex> lock(m_causeMutex);
    return m_cause;
}

void DownloadBatch::Fail(const std::string& error)
{
    m_entries.clear();
    DispatchEvent(&IDownloadBatchEvents::OnWorkFailed, m_downloaded.load(), m_total.load(), error);
}

} // namespace Zentak
