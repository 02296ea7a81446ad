#include "logic/downloader/download_batch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <glog/logging.h>

#include "external/crash_handler.h"

namespace Zentak {
namespace {

constexpr std::chrono::milliseconds kPollInterval(250);
constexpr long kLowSpeedLimit = 1; // bytes per second
// libcurl's receive buffer. Its 16 KiB default costs one write into the
// stream and one progress round per 16 KiB; a larger buffer keeps a batch of
// large files at the speed of the network.
constexpr long kReceiveBufferSize = 256 * 1024;

unsigned char Percent(unsigned long long part, unsigned long long whole)
{
    return static_cast<unsigned char>(std::min<unsigned long long>(part * 100 / whole, 100));
}

} // namespace

DownloadBatch::DownloadBatch(IDownloaderEvents& events, std::shared_ptr<FakeThreadPool> pool,
                             std::vector<DownloadItem>&& items, long lowSpeedTime)
    : EventsDispatcher<IDownloadBatchEvents>(pool, events)
{
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

void DownloadBatch::Download()
{
    std::string error;
    try {
        LOG(INFO) << "Download started";
        DispatchEvent(&IDownloadBatchEvents::OnWorkStarted, m_total.load());
        while (!m_entries.empty() && !m_stop) {
            m_multi.Perform();
            for (Curl::CurlEasy& session : m_multi.GetCompletedSessions()) {
                auto entry = std::find_if(m_entries.begin(), m_entries.end(),
                                          [&](const DownloadEntry& e) { return e.Holds(session); });
                if (entry == m_entries.end()) {
                    continue;
                }
                entry->Finish();
                m_entries.erase(entry);
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
            LOG(INFO) << "Downloader error: " << exception.what();
            Core::TrackException(Core::TypeName(exception), exception.what());
            error = exception.what();
        }
    }
    Fail(error);
}

void DownloadBatch::Fail(const std::string& error)
{
    m_entries.clear();
    DispatchEvent(&IDownloadBatchEvents::OnWorkFailed, m_downloaded.load(), m_total.load(), error);
}

DownloadBatch::DownloadEntry::DownloadEntry(DownloadBatch& batch, IDownloaderEvents& events,
                                            std::shared_ptr<FakeThreadPool> pool,
                                            DownloadItem&& item, long lowSpeedTime)
    : EventsDispatcher<IDownloadItemEvents>(std::move(pool), events),
      m_batch(batch),
      m_item(std::move(item)),
      m_session(m_item.url)
{
    if (!m_item.stream) {
        throw std::invalid_argument("Item " + m_item.name + " has no output stream");
    }
    m_session.Set(CURLOPT_WRITEFUNCTION, &DownloadEntry::OnData)
        .Set(CURLOPT_WRITEDATA, this)
        .Set(CURLOPT_XFERINFOFUNCTION, &DownloadEntry::OnProgress)
        .Set(CURLOPT_XFERINFODATA, this)
        .Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_LOW_SPEED_TIME, lowSpeedTime)
        .Set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit)
        .Set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    m_batch.m_multi.AddSession(m_session);
    LOG(INFO) << "Item " << m_item.name << " download from " << m_item.url << " started";
    DispatchEvent(&IDownloadItemEvents::OnItemDownloadStarted, m_item.name, 0ULL);
}

DownloadBatch::DownloadEntry::~DownloadEntry()
{
    try {
        m_batch.m_multi.RemoveSession(m_session);
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << m_item.name << ": " << exception.what();
        Core::TrackException(Core::TypeName(exception), exception.what());
    }
    m_item.stream.reset();
}

void DownloadBatch::DownloadEntry::Finish()
{
    std::ostream& stream = *m_item.stream;
    // The last bytes may still sit in the stream's buffer: only a flush (and,
    // for a file, a close) shows whether they reached the disk. A full disk
    // must fail the item, not let a truncated file count as downloaded.
    errno = 0;
    stream.flush();
    bool written = static_cast<bool>(stream);
    if (auto* file = dynamic_cast<std::filebuf*>(stream.rdbuf()); file && file->is_open()) {
        written = file->close() != nullptr && written;
    }
    if (!written) {
        const int reason = errno;
        std::string text = "Item " + m_item.name + " write error: could not write " + Target();
        if (reason != 0) {
            text += ": " + std::string(std::strerror(reason));
        }
        throw std::runtime_error(text);
    }
    LOG(INFO) << "Item " << m_item.name << " download finished";
    DispatchEvent(&IDownloadItemEvents::OnItemDownloadFinished, m_item.name, m_lastTotal);
}

std::string DownloadBatch::DownloadEntry::Target() const
{
    return m_item.path.empty() ? "the data of " + m_item.url : m_item.path;
}

size_t DownloadBatch::DownloadEntry::OnData(char* data, size_t size, size_t count, void* entry)
{
    return static_cast<DownloadEntry*>(entry)->Write(data, size * count);
}

size_t DownloadBatch::DownloadEntry::Write(const char* data, size_t size)
{
    if (m_batch.m_stop || size == 0) {
        return 0;
    }
    try {
        std::ostream& stream = *m_item.stream;
        if (!stream) {
            return 0;
        }
        // One bulk write per chunk. Returning fewer bytes than received makes
        // libcurl fail the transfer with its write error, so a refused byte is
        // never silently lost.
        const std::streamsize taken =
            stream.rdbuf()->sputn(data, static_cast<std::streamsize>(size));
        if (taken != static_cast<std::streamsize>(size)) {
            const int reason = errno;
            stream.setstate(std::ios::badbit);
            LOG(INFO) << "Item " << m_item.name << " write error: " << Target() << " took "
                      << taken << " of " << size << " bytes: " << std::strerror(reason);
            return taken > 0 ? static_cast<size_t>(taken) : 0;
        }
        return size;
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << m_item.name << " write error: " << exception.what();
        Core::TrackException(Core::TypeName(exception), exception.what());
        return 0;
    }
}

int DownloadBatch::DownloadEntry::OnProgress(void* entry, curl_off_t expected, curl_off_t received,
                                             curl_off_t, curl_off_t)
{
    auto& self = *static_cast<DownloadEntry*>(entry);
    if (self.m_batch.m_stop) {
        return 1;
    }
    if (expected <= 0) {
        return 0;
    }
    try {
        self.UpdateProgress(static_cast<unsigned long long>(expected),
                            static_cast<unsigned long long>(std::max<curl_off_t>(received, 0)));
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << self.m_item.name << " progress error: " << exception.what();
        Core::TrackException(Core::TypeName(exception), exception.what());
    }
    return 0;
}

void DownloadBatch::DownloadEntry::UpdateProgress(unsigned long long expected,
                                                  unsigned long long received)
{
    const unsigned char percent = Percent(received, expected);
    if (percent != m_lastPercent) {
        m_lastPercent = percent;
        DispatchEvent(&IDownloadItemEvents::OnItemProgressUpdated, m_item.name, received, expected,
                      percent);
    }

    m_batch.m_downloaded -= m_lastDownloaded;
    m_batch.m_downloaded += received;
    m_lastDownloaded = received;
    m_batch.m_total -= m_lastTotal;
    m_batch.m_total += expected;
    m_lastTotal = expected;

    const unsigned long long downloaded = m_batch.m_downloaded;
    const unsigned long long total = m_batch.m_total;
    const unsigned char batchPercent = Percent(downloaded, total);
    if (m_batch.m_lastPercent.exchange(batchPercent) == batchPercent) {
        return;
    }
    m_batch.DispatchEvent(&IDownloadBatchEvents::OnWorkProgressUpdated, downloaded, total,
                          batchPercent);
}

} // namespace Zentak
