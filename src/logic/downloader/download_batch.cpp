#include "logic/downloader/download_batch.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

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

// Blocks in which a kept part of a file is read to hash it.
constexpr std::size_t kKeptPartBlock = 1024 * 1024;

unsigned char Percent(unsigned long long part, unsigned long long whole)
{
    return static_cast<unsigned char>(std::min<unsigned long long>(part * 100 / whole, 100));
}

// The first byte of "Content-Range: bytes <first>-<last>/<size>".
std::optional<std::uint64_t> RangeStart(const std::string& value)
{
    std::size_t at = value.find_first_not_of(" \t");
    if (at == std::string::npos || !boost::algorithm::istarts_with(value.substr(at), "bytes")) {
        return std::nullopt;
    }
    at = value.find_first_not_of(" \t", at + 5);
    if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(value[at]))) {
        return std::nullopt;
    }
    std::uint64_t first = 0;
    for (; at < value.size() && std::isdigit(static_cast<unsigned char>(value[at])); ++at) {
        first = first * 10 + static_cast<std::uint64_t>(value[at] - '0');
    }
    if (at >= value.size() || value[at] != '-') {
        return std::nullopt;
    }
    return first;
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
            error = exception.what();
            const auto* transfer = dynamic_cast<const Curl::TransferFailure*>(&exception);
            std::string cause = transfer ? transfer->Cause() : error;
            // An entry that refused its data knows why; libcurl only saw a
            // refused write.
            for (const DownloadEntry& entry : m_entries) {
                if (!entry.Failure().empty()) {
                    error = entry.Failure();
                    cause = error;
                    break;
                }
            }
            std::lock_guard<std::mutex> lock(m_causeMutex);
            m_cause = std::move(cause);
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
    if (!m_item.sha256.empty()) {
        m_hash = std::make_unique<Sha256>();
    }
    if (m_item.resumeFrom > 0) {
        if (m_item.path.empty()) {
            throw std::invalid_argument("Item " + m_item.name + " resumes without a file path");
        }
        // A plain range rather than libcurl's resume option: libcurl fails a
        // resumed transfer whose server ignores the range, and a whole file
        // is as good as the rest of one when the kept part is written over.
        const std::string range = std::to_string(m_item.resumeFrom) + "-";
        m_session.Set(CURLOPT_RANGE, range.c_str())
            .Set(CURLOPT_HEADERFUNCTION, &DownloadEntry::OnHeader)
            .Set(CURLOPT_HEADERDATA, this);
        m_offset = m_item.resumeFrom;
        m_settled = false;
    }
    m_session.Set(CURLOPT_WRITEFUNCTION, &DownloadEntry::OnData)
        .Set(CURLOPT_WRITEDATA, this)
        .Set(CURLOPT_XFERINFOFUNCTION, &DownloadEntry::OnProgress)
        .Set(CURLOPT_XFERINFODATA, this)
        .Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_LOW_SPEED_TIME, lowSpeedTime)
        .Set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit)
        .Set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    if (!m_item.decodeContent) {
        m_session.Set(CURLOPT_ACCEPT_ENCODING, "identity").Set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    }
    if (m_item.timeoutSeconds > 0) {
        m_session.Set(CURLOPT_TIMEOUT, m_item.timeoutSeconds);
    }
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
    if (m_dropFile && !m_item.path.empty()) {
        // What is there cannot be continued (it does not match, or the
        // server cannot send the rest): the next attempt starts afresh.
        std::ofstream emptied(m_item.path, std::ios::out | std::ios::trunc | std::ios::binary);
        LOG(INFO) << "Item " << m_item.name << ": " << m_item.path
                  << (emptied ? " emptied" : " could not be emptied");
    }
}

void DownloadBatch::DownloadEntry::Finish()
{
    if (!m_settled && !SettleResume()) {
        throw std::runtime_error(m_failure);
    }
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
    const std::uint64_t whole = m_offset + m_written;
    if (m_item.size && whole != *m_item.size) {
        Refuse("size mismatch for " + m_item.name + ": expected " + std::to_string(*m_item.size) +
               " bytes, got " + std::to_string(whole));
        throw std::runtime_error(m_failure);
    }
    if (m_hash) {
        const std::string digest = m_hash->HexDigest();
        if (digest != m_item.sha256) {
            Refuse("sha256 mismatch for " + m_item.name + ": expected " + m_item.sha256 + ", got " +
                   digest);
            throw std::runtime_error(m_failure);
        }
    }
    LOG(INFO) << "Item " << m_item.name << " download finished";
    DispatchEvent(&IDownloadItemEvents::OnItemDownloadFinished, m_item.name, m_lastTotal);
}

void DownloadBatch::DownloadEntry::Refuse(std::string reason)
{
    LOG(INFO) << "Item " << m_item.name << " from " << m_item.url << ": " << reason;
    m_failure = std::move(reason);
    m_dropFile = true;
}

bool DownloadBatch::DownloadEntry::SettleResume()
{
    m_settled = true;
    if (m_status == 206 && m_rangeStart == m_item.resumeFrom) {
        if (!HashKeptPart()) {
            Refuse("Item " + m_item.name + ": the kept part of " + m_item.path +
                   " cannot be read");
            return false;
        }
        LOG(INFO) << "Item " << m_item.name << " resumes at byte " << m_item.resumeFrom;
        return true;
    }
    if (m_status == 200 || (m_status == 206 && m_rangeStart == 0)) {
        return StartOver();
    }
    Refuse("Item " + m_item.name + ": the request for the bytes from " +
           std::to_string(m_item.resumeFrom) + " got status " + std::to_string(m_status) +
           (m_rangeStart ? " with the range from " + std::to_string(*m_rangeStart) : ""));
    return false;
}

bool DownloadBatch::DownloadEntry::StartOver()
{
    LOG(INFO) << "Item " << m_item.name << ": " << m_item.url
              << " sends the whole file, not the rest; writing " << m_item.path << " anew";
    auto* file = dynamic_cast<std::ofstream*>(m_item.stream.get());
    if (!file) {
        Refuse("Item " + m_item.name + ": " + m_item.path + " cannot be written anew");
        return false;
    }
    file->close();
    file->clear();
    file->open(m_item.path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!*file) {
        Refuse("Item " + m_item.name + ": " + m_item.path + " cannot be written anew");
        return false;
    }
    m_offset = 0;
    if (m_hash) {
        m_hash->Reset();
    }
    return true;
}

// The digest must cover the whole file, so the part kept from the earlier
// attempt is read once more; it is on disk already, and reading it costs far
// less than fetching it again.
bool DownloadBatch::DownloadEntry::HashKeptPart()
{
    if (!m_hash) {
        return true;
    }
    std::ifstream kept(m_item.path, std::ios::in | std::ios::binary);
    std::vector<char> block(kKeptPartBlock);
    std::uint64_t left = m_item.resumeFrom;
    while (left > 0 && kept) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        kept.read(block.data(), static_cast<std::streamsize>(want));
        const auto got = static_cast<std::size_t>(kept.gcount());
        m_hash->Update(block.data(), got);
        left -= got;
    }
    return left == 0;
}

size_t DownloadBatch::DownloadEntry::OnHeader(char* data, size_t size, size_t count, void* entry)
{
    auto& self = *static_cast<DownloadEntry*>(entry);
    try {
        self.Header(std::string(data, size * count));
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << self.m_item.name << " header error: " << exception.what();
        return 0;
    }
    return size * count;
}

// Headers of every reply come here, redirects included: a status line starts
// a new reply, and only the last one's status and range count.
void DownloadBatch::DownloadEntry::Header(const std::string& line)
{
    if (boost::algorithm::starts_with(line, "HTTP/")) {
        const std::size_t space = line.find(' ');
        m_status = space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
        m_rangeStart.reset();
        if (m_status == 416) {
            // The kept part is as long as the file, or longer: it cannot be continued.
            m_dropFile = true;
        }
    } else if (boost::algorithm::istarts_with(line, "content-range:")) {
        m_rangeStart = RangeStart(line.substr(14));
    }
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
        if (!m_settled && !SettleResume()) {
            return 0;
        }
        if (m_item.byteLimit != 0 && m_offset + m_written + size > m_item.byteLimit) {
            Refuse(m_item.name + " refused: larger than " + std::to_string(m_item.byteLimit) +
                   " bytes");
            return 0;
        }
        if (m_item.size && m_offset + m_written + size > *m_item.size) {
            Refuse("size mismatch for " + m_item.name + ": expected " +
                   std::to_string(*m_item.size) + " bytes, got more");
            return 0;
        }
        if (!m_item.size && m_item.maxBytes && m_offset + m_written + size > *m_item.maxBytes) {
            Refuse(m_item.name + " is larger than the " + std::to_string(*m_item.maxBytes) +
                   " bytes it may take (half the free space for downloads)");
            return 0;
        }
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
        m_written += size;
        if (m_hash) {
            m_hash->Update(data, size);
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
    // A resumed reply's sizes count from its first byte: until it is clear
    // whether that is the kept part's end or the file's start, nothing is
    // reported.
    if (expected <= 0 || !self.m_settled) {
        return 0;
    }
    try {
        self.UpdateProgress(
            self.m_offset + static_cast<unsigned long long>(expected),
            self.m_offset + static_cast<unsigned long long>(std::max<curl_off_t>(received, 0)));
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
