#include "logic/downloader/download_batch.h"

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

namespace Zentak {
namespace {

constexpr std::chrono::milliseconds kPollInterval(250);
constexpr long kLowSpeedLimit = 1; // bytes per second
// libcurl's receive buffer. Its 16 KiB default costs one write into the
// stream and one progress round per 16 KiB; a larger buffer keeps a batch of
// large files at the speed of the network.
constexpr long kReceiveBufferSize = 256 * 1024;

// Blocks in which a part of a file is read back to hash it.
constexpr std::size_t kReadBlock = 1024 * 1024;
// What one round of the worker hashes of the bytes that ranges wrote ahead
// of the hashed start: enough to keep up with the network, little enough
// that the other transfers do not wait for the disk.
constexpr std::uint64_t kCatchUpPerRound = 8 * 1024 * 1024;
// How often one range that breaks is asked for again, per source.
constexpr int kRangeRetries = 3;

constexpr std::uint64_t kOpenEnd = std::numeric_limits<std::uint64_t>::max();

unsigned char Percent(unsigned long long part, unsigned long long whole)
{
    return static_cast<unsigned char>(std::min<unsigned long long>(part * 100 / whole, 100));
}

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> size; // absent for "*"
};

bool ReadNumber(const std::string& text, std::size_t& at, std::uint64_t& number)
{
    const std::size_t begin = at;
    number = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        if (number > (kOpenEnd - 9) / 10) {
            return false;
        }
        number = number * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    return at > begin;
}

// "Content-Range: bytes <first>-<last>/<size or *>".
std::optional<ContentRange> ParseContentRange(const std::string& value)
{
    std::size_t at = value.find_first_not_of(" \t");
    if (at == std::string::npos || !boost::algorithm::istarts_with(value.substr(at), "bytes")) {
        return std::nullopt;
    }
    at = value.find_first_not_of(" \t", at + 5);
    ContentRange range;
    if (at == std::string::npos || !ReadNumber(value, at, range.first) || at >= value.size() ||
        value[at] != '-' || !ReadNumber(value, ++at, range.last) || range.last < range.first ||
        at >= value.size() || value[at] != '/') {
        return std::nullopt;
    }
    std::uint64_t size = 0;
    if (ReadNumber(value, ++at, size)) {
        range.size = size;
    }
    return range;
}

// Failures that another copy of the file may not have: the source is
// unreachable, too slow, broken or does not have the file.
bool SourceAtFault(CURLcode result, long status)
{
    switch (result) {
    case CURLE_HTTP_RETURNED_ERROR:
        return status == 404 || status >= 500;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

long ResponseStatus(CURL* handle)
{
    long status = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
        status = 0;
    }
    return status;
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

} // namespace

// One request of an entry and the part of the file it writes: the whole file
// (from `start`, which a resumed transfer puts after the kept part), or one
// range of a segmented download.
struct DownloadBatch::DownloadEntry::Transfer {
    explicit Transfer(DownloadEntry& owner) : entry(owner) {}

    DownloadEntry& entry;
    std::unique_ptr<Curl::CurlEasy> session;
    std::uint64_t start = 0;      // first byte of the file it writes
    std::uint64_t end = kOpenEnd; // one past its last byte
    std::uint64_t written = 0;    // bytes it wrote from `start` on
    std::uint64_t asked = 0;      // first byte its current request asks for
    bool ranged = false;          // the current request names a range
    long status = 0;              // status of its latest reply header block
    std::optional<ContentRange> range;
    bool judged = true;           // its reply has been found usable
    bool finished = false;
    bool drop = false;            // to be ended and forgotten (Tend)
    bool pending = false;         // to be (re)started (Tend)
    int retries = 0;

    bool Complete() const { return end != kOpenEnd && start + written == end; }
};

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

DownloadBatch::DownloadEntry::DownloadEntry(DownloadBatch& batch, IDownloaderEvents& events,
                                            std::shared_ptr<FakeThreadPool> pool,
                                            DownloadItem&& item, long lowSpeedTime)
    : EventsDispatcher<IDownloadItemEvents>(std::move(pool), events),
      m_batch(batch),
      m_item(std::move(item)),
      m_lowSpeedTime(lowSpeedTime)
{
    if (!m_item.stream) {
        throw std::invalid_argument("Item " + m_item.name + " has no output stream");
    }
    if (!m_item.sha256.empty()) {
        m_hash = std::make_unique<Sha256>();
    }
    if (m_item.resumeFrom > 0 && m_item.path.empty()) {
        throw std::invalid_argument("Item " + m_item.name + " resumes without a file path");
    }
    m_sources.push_back(m_item.url);
    m_sources.insert(m_sources.end(), m_item.mirrors.begin(), m_item.mirrors.end());

    auto* file = dynamic_cast<std::ofstream*>(m_item.stream.get());
    if (m_item.connections > 1 && m_item.expectedSize >= DownloadItem::kSegmentedMinimum &&
        m_item.resumeFrom == 0 && !m_item.path.empty() && file && file->is_open()) {
        // Ranges are written where they belong in the file, which a stream
        // cannot do; the stream (opened empty by the caller) steps aside.
        m_file = ::open(m_item.path.c_str(), O_RDWR | O_CLOEXEC);
        if (m_file >= 0) {
            file->close();
        } else {
            LOG(INFO) << "Item " << m_item.name << ": " << m_item.path
                      << " cannot be opened for ranges (" << std::strerror(errno)
                      << "), one transfer fetches it";
        }
    }
    try {
        StartSource();
    } catch (...) {
        // No destructor runs for an entry that was never made.
        if (m_file >= 0) {
            ::close(m_file);
        }
        throw;
    }
    LOG(INFO) << "Item " << m_item.name << " download from " << m_item.url << " started";
    DispatchEvent(&IDownloadItemEvents::OnItemDownloadStarted, m_item.name, 0ULL);
}

DownloadBatch::DownloadEntry::~DownloadEntry()
{
    for (Transfer& transfer : m_transfers) {
        if (!transfer.session) {
            continue;
        }
        try {
            m_batch.m_multi.RemoveSession(*transfer.session);
        } catch (const std::exception& exception) {
            LOG(INFO) << "Item " << m_item.name << ": " << exception.what();
            Core::TrackException(Core::TypeName(exception), exception.what());
        }
    }
    m_transfers.clear();
    m_item.stream.reset();
    if (m_file >= 0) {
        // A download that did not finish keeps only the bytes that follow
        // each other from the start: the next attempt may continue there,
        // and the holes between ranges must not look like part of the file.
        const std::uint64_t keep = m_dropFile ? 0 : ContiguousBytes();
        if (::ftruncate(m_file, static_cast<off_t>(keep)) != 0) {
            LOG(INFO) << "Item " << m_item.name << ": " << m_item.path << " could not be cut to "
                      << keep << " bytes: " << std::strerror(errno);
        }
        ::close(m_file);
    } else if (m_dropFile && !m_item.path.empty()) {
        // What is there cannot be continued (it does not match, or the
        // server cannot send the rest): the next attempt starts afresh.
        std::ofstream emptied(m_item.path, std::ios::out | std::ios::trunc | std::ios::binary);
        LOG(INFO) << "Item " << m_item.name << ": " << m_item.path
                  << (emptied ? " emptied" : " could not be emptied");
    }
}

bool DownloadBatch::DownloadEntry::Holds(const Curl::CurlEasy& session) const
{
    return std::any_of(m_transfers.begin(), m_transfers.end(), [&](const Transfer& transfer) {
        return transfer.session && *transfer.session == session;
    });
}

std::unique_ptr<Curl::CurlEasy> DownloadBatch::DownloadEntry::MakeSession(Transfer& transfer)
{
    auto session = std::make_unique<Curl::CurlEasy>(m_sources[m_source]);
    if (transfer.ranged) {
        // A plain range rather than libcurl's resume option: libcurl fails a
        // resumed transfer whose server ignores the range, and a whole file
        // is as good as the rest of one when the kept part is written over.
        const std::string range =
            std::to_string(transfer.asked) + "-" +
            (transfer.end == kOpenEnd ? std::string() : std::to_string(transfer.end - 1));
        session->Set(CURLOPT_RANGE, range.c_str());
    }
    transfer.status = 0;
    transfer.range.reset();
    transfer.judged = !transfer.ranged;
    session->Set(CURLOPT_HEADERFUNCTION, &DownloadEntry::OnHeader)
        .Set(CURLOPT_HEADERDATA, &transfer)
        .Set(CURLOPT_WRITEFUNCTION, &DownloadEntry::OnData)
        .Set(CURLOPT_WRITEDATA, &transfer)
        .Set(CURLOPT_XFERINFOFUNCTION, &DownloadEntry::OnProgress)
        .Set(CURLOPT_XFERINFODATA, &transfer)
        .Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_LOW_SPEED_TIME, m_lowSpeedTime)
        .Set(CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimit)
        .Set(CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    if (!m_item.decodeContent) {
        session->Set(CURLOPT_ACCEPT_ENCODING, "identity").Set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    }
    if (m_item.timeoutSeconds > 0) {
        session->Set(CURLOPT_TIMEOUT, m_item.timeoutSeconds);
    }
    return session;
}

void DownloadBatch::DownloadEntry::StartTransfer(std::uint64_t start, std::uint64_t end,
                                                 bool ranged)
{
    Transfer& transfer = m_transfers.emplace_back(*this);
    transfer.start = start;
    transfer.end = end;
    transfer.asked = start;
    transfer.ranged = ranged;
    transfer.session = MakeSession(transfer);
    m_batch.m_multi.AddSession(*transfer.session);
}

void DownloadBatch::DownloadEntry::StartSource()
{
    if (m_file >= 0) {
        // The first request asks for the whole file as a range: a server
        // that answers with exactly that range can serve the others too.
        m_mode = m_plainOnly ? Mode::Plain : Mode::Probing;
        StartTransfer(0, kOpenEnd, !m_plainOnly);
    } else if (m_source == 0 && m_item.resumeFrom > 0) {
        m_mode = Mode::Plain;
        StartTransfer(m_item.resumeFrom, kOpenEnd, true);
    } else {
        m_mode = Mode::Plain;
        StartTransfer(0, kOpenEnd, false);
    }
}

void DownloadBatch::DownloadEntry::Split(Transfer& probe)
{
    const std::uint64_t size = m_item.expectedSize;
    const auto count = static_cast<std::uint64_t>(
        std::clamp(m_item.connections, 1, DownloadItem::kMostConnections));
    LOG(INFO) << "Item " << m_item.name << ": " << m_sources[m_source] << " serves ranges; "
              << size << " bytes over " << count << " connections";
    probe.end = size / count;
    for (std::uint64_t part = 1; part < count; ++part) {
        Transfer& range = m_transfers.emplace_back(*this);
        range.start = size * part / count;
        range.end = size * (part + 1) / count;
        range.asked = range.start;
        range.ranged = true;
        range.pending = true;
    }
}

// One plain transfer of the whole file: the first request asked for all of
// it, so while it runs it simply goes on past its range; otherwise the file
// is fetched anew without ranges.
void DownloadBatch::DownloadEntry::FallBack(Transfer& failed)
{
    Transfer& probe = m_transfers.front();
    if (&probe != &failed && probe.start == 0 && probe.asked == 0 && probe.session &&
        !probe.finished && !probe.drop && !probe.Complete()) {
        LOG(INFO) << "Item " << m_item.name << ": the first request goes on alone";
        for (Transfer& transfer : m_transfers) {
            transfer.drop = &transfer != &probe;
        }
        probe.end = kOpenEnd;
        m_mode = Mode::Plain;
        return;
    }
    LOG(INFO) << "Item " << m_item.name << ": fetching it anew as one transfer without ranges";
    Restart(true);
}

void DownloadBatch::DownloadEntry::Restart(bool plainOnly)
{
    m_restart = true;
    m_plainOnly = plainOnly;
    for (Transfer& transfer : m_transfers) {
        transfer.drop = true;
    }
}

void DownloadBatch::DownloadEntry::Tend()
{
    if (m_restart) {
        m_restart = false;
        for (Transfer& transfer : m_transfers) {
            if (transfer.session) {
                m_batch.m_multi.RemoveSession(*transfer.session);
            }
        }
        m_transfers.clear();
        if (m_file >= 0) {
            if (::ftruncate(m_file, 0) != 0) {
                throw std::runtime_error("Item " + m_item.name + " write error: could not empty " +
                                         m_item.path + ": " + std::strerror(errno));
            }
        } else {
            auto* file = dynamic_cast<std::ofstream*>(m_item.stream.get());
            file->close();
            file->clear();
            file->open(m_item.path, std::ios::out | std::ios::trunc | std::ios::binary);
            if (!*file) {
                throw std::runtime_error("Item " + m_item.name + " write error: could not write " +
                                         m_item.path + " anew");
            }
        }
        if (m_hash) {
            m_hash->Reset();
        }
        m_hashed = 0;
        m_received = 0;
        m_dropFile = false;
        m_failure.clear();
        if (m_lastTotal > 0) {
            UpdateProgress(m_lastTotal, 0);
        }
        StartSource();
        return;
    }
    for (auto transfer = m_transfers.begin(); transfer != m_transfers.end();) {
        if (!transfer->drop) {
            ++transfer;
            continue;
        }
        if (transfer->session) {
            m_batch.m_multi.RemoveSession(*transfer->session);
        }
        m_received -= std::min(m_received, transfer->written);
        transfer = m_transfers.erase(transfer);
    }
    for (Transfer& transfer : m_transfers) {
        if (transfer.pending) {
            transfer.pending = false;
            transfer.session = MakeSession(transfer);
            m_batch.m_multi.AddSession(*transfer.session);
        }
    }
    if (m_hash && m_file >= 0) {
        CatchUp(kCatchUpPerRound);
    }
}

// Transfers about to be dropped do not count: their part of the file comes
// from another transfer. A restart counts as unfinished.
bool DownloadBatch::DownloadEntry::AllFinished() const
{
    bool any = false;
    for (const Transfer& transfer : m_transfers) {
        if (transfer.drop) {
            continue;
        }
        if (!transfer.finished) {
            return false;
        }
        any = true;
    }
    return any && !m_restart;
}

bool DownloadBatch::DownloadEntry::Completed(const Curl::CurlEasy& session, CURLcode result)
{
    if (m_batch.m_stop) {
        throw std::runtime_error("Item " + m_item.name + " stopped");
    }
    auto found = std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer& t) {
        return t.session && *t.session == session;
    });
    if (found == m_transfers.end() || found->drop) {
        return false; // Tend ends it
    }
    Transfer& transfer = *found;
    if (!transfer.judged && result == CURLE_OK && !Judge(transfer)) {
        if (m_restart || transfer.drop) {
            return false;
        }
        SourceFailed(m_failure, m_blame, nullptr);
        return false;
    }
    const bool whole = m_mode != Mode::Ranges || transfer.Complete();
    if (transfer.Complete() || (result == CURLE_OK && whole)) {
        transfer.finished = true;
        m_batch.m_multi.RemoveSession(*transfer.session);
        transfer.session.reset();
        return AllFinished() && Finish();
    }

    std::string reason = m_failure;
    Blame blame = m_blame;
    std::exception_ptr exception;
    const long status = ResponseStatus(session.Handle());
    if (reason.empty()) {
        try {
            if (result == CURLE_OK) {
                throw std::runtime_error("Item " + m_item.name + ": the range from " +
                                         std::to_string(transfer.start) + " ended early");
            }
            Curl::CurlMulti::ThrowFailure(session, result);
        } catch (const std::exception& error) {
            reason = error.what();
            exception = std::current_exception();
        }
        blame = result == CURLE_OK || SourceAtFault(result, status) ? Blame::Source : Blame::Local;
    }
    if (m_mode == Mode::Ranges && m_failure.empty() && blame == Blame::Source) {
        if (result != CURLE_HTTP_RETURNED_ERROR && transfer.retries < kRangeRetries) {
            // A broken range is asked for again alone, from where it stopped.
            ++transfer.retries;
            LOG(INFO) << "Item " << m_item.name << ": the range " << transfer.start << "-"
                      << transfer.end - 1 << " broke after " << transfer.written
                      << " bytes (" << reason << "); asking again for the rest";
            m_batch.m_multi.RemoveSession(*transfer.session);
            transfer.session.reset();
            transfer.asked = transfer.start + transfer.written;
            transfer.pending = true;
            return false;
        }
        // A server that serves some ranges and refuses others (one that
        // limits connections per client, say), or a range that keeps
        // breaking: one transfer it is. Should that fail too, the source
        // has failed.
        LOG(INFO) << "Item " << m_item.name << ": the range from " << transfer.asked
                  << " cannot be had (" << reason << ")";
        transfer.drop = true;
        FallBack(transfer);
        return false;
    }
    SourceFailed(reason, blame, exception);
    return false;
}

void DownloadBatch::DownloadEntry::SourceFailed(const std::string& reason, Blame blame,
                                                std::exception_ptr exception)
{
    const std::string& url = m_sources[m_source];
    LOG(INFO) << "Item " << m_item.name << " from " << url << " failed: " << reason;
    m_sourceFailures.push_back(url + ": " + reason);
    std::string cause = reason;
    if (exception) {
        try {
            std::rethrow_exception(exception);
        } catch (const Curl::TransferFailure& failure) {
            cause = failure.Cause();
        } catch (...) {
        }
    }
    m_sourceCauses.push_back(cause);
    const bool restartable =
        m_file >= 0 || dynamic_cast<std::ofstream*>(m_item.stream.get()) != nullptr;
    if (blame == Blame::Source && m_source + 1 < m_sources.size() && restartable &&
        !m_item.path.empty()) {
        ++m_source;
        LOG(INFO) << "Item " << m_item.name << ": trying mirror " << m_sources[m_source];
        Restart(false);
        return;
    }
    if (m_sourceFailures.size() > 1) {
        m_failure = "every source of " + m_item.name + " failed: " + Join(m_sourceFailures, "; ");
        throw Curl::TransferFailure(m_failure, "every source failed: " + Join(m_sourceCauses, "; "));
    }
    if (exception && m_failure.empty()) {
        std::rethrow_exception(exception);
    }
    throw std::runtime_error(reason);
}

bool DownloadBatch::DownloadEntry::Finish()
{
    std::uint64_t whole = 0;
    if (m_file >= 0) {
        if (m_hash) {
            CatchUp(kOpenEnd);
        }
        whole = m_mode == Mode::Ranges ? m_item.expectedSize
                                       : m_transfers.front().start + m_transfers.front().written;
    } else {
        Transfer& transfer = m_transfers.front();
        std::ostream& stream = *m_item.stream;
        // The last bytes may still sit in the stream's buffer: only a flush
        // (and, for a file, a close) shows whether they reached the disk. A
        // full disk must fail the item, not let a truncated file count as
        // downloaded.
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
            Refuse(text, Blame::Local);
            m_dropFile = false; // what reached the disk may be continued
            SourceFailed(m_failure, m_blame, nullptr);
            return false;
        }
        whole = transfer.start + transfer.written;
    }
    if (m_item.size && whole != *m_item.size) {
        Refuse("size mismatch for " + m_item.name + ": expected " + std::to_string(*m_item.size) +
               " bytes, got " + std::to_string(whole));
        SourceFailed(m_failure, m_blame, nullptr);
        return false;
    }
    if (m_hash) {
        const std::string digest = m_hash->HexDigest();
        if (digest != m_item.sha256) {
            Refuse("sha256 mismatch for " + m_item.name + ": expected " + m_item.sha256 + ", got " +
                   digest);
            SourceFailed(m_failure, m_blame, nullptr);
            return false;
        }
    }
    if (m_file >= 0) {
        const int file = m_file;
        m_file = -1;
        if (::close(file) != 0) {
            Refuse("Item " + m_item.name + " write error: could not write " + m_item.path + ": " +
                       std::strerror(errno),
                   Blame::Local);
            throw std::runtime_error(m_failure);
        }
    }
    LOG(INFO) << "Item " << m_item.name << " download finished";
    if (m_mode == Mode::Ranges && m_hash) {
        LOG(INFO) << "Item " << m_item.name << ": of its " << whole << " bytes " << m_readBack
                  << " were read back from the file to hash them, in "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(m_readBackTime).count()
                  << " ms";
    }
    DispatchEvent(&IDownloadItemEvents::OnItemDownloadFinished, m_item.name, m_lastTotal);
    return true;
}

void DownloadBatch::DownloadEntry::Refuse(std::string reason, Blame blame)
{
    LOG(INFO) << "Item " << m_item.name << " from " << m_sources[m_source] << ": " << reason;
    m_failure = std::move(reason);
    m_blame = blame;
    m_dropFile = true;
}

bool DownloadBatch::DownloadEntry::Judge(Transfer& transfer)
{
    transfer.judged = true;
    const std::uint64_t size = m_item.expectedSize;
    switch (m_mode) {
    case Mode::Plain:
        return !transfer.ranged || SettleResume(transfer);
    case Mode::Probing:
        if (transfer.status == 206 && transfer.range && transfer.range->first == 0 &&
            transfer.range->last + 1 == size && transfer.range->size == size) {
            if (const std::string refusal = Room(size); !refusal.empty()) {
                Refuse(refusal, Blame::Local);
                return false;
            }
            m_mode = Mode::Ranges;
            Split(transfer);
            return true;
        }
        if (transfer.status == 200) {
            LOG(INFO) << "Item " << m_item.name << ": " << m_sources[m_source]
                      << " serves no ranges; one transfer fetches it";
            m_mode = Mode::Plain;
            return true;
        }
        LOG(INFO) << "Item " << m_item.name << ": the request for all " << size
                  << " bytes as a range got status " << transfer.status
                  << "; fetching it again without ranges";
        Restart(true);
        return false;
    case Mode::Ranges:
        if (transfer.status == 206 && transfer.range && transfer.range->first == transfer.asked &&
            transfer.range->last + 1 == transfer.end && transfer.range->size == size) {
            return true;
        }
        LOG(INFO) << "Item " << m_item.name << ": the request for the bytes " << transfer.asked
                  << "-" << transfer.end - 1 << " got status " << transfer.status
                  << (transfer.range
                          ? " with the range from " + std::to_string(transfer.range->first)
                          : std::string(" without a range"));
        transfer.drop = true;
        FallBack(transfer);
        return false;
    }
    return false;
}

bool DownloadBatch::DownloadEntry::SettleResume(Transfer& transfer)
{
    if (transfer.status == 206 && transfer.range && transfer.range->first == m_item.resumeFrom) {
        if (!HashKeptPart()) {
            Refuse("Item " + m_item.name + ": the kept part of " + m_item.path + " cannot be read",
                   Blame::Local);
            return false;
        }
        LOG(INFO) << "Item " << m_item.name << " resumes at byte " << m_item.resumeFrom;
        return true;
    }
    if (transfer.status == 200 ||
        (transfer.status == 206 && transfer.range && transfer.range->first == 0)) {
        return StartOver(transfer);
    }
    Refuse("Item " + m_item.name + ": the request for the bytes from " +
           std::to_string(m_item.resumeFrom) + " got status " + std::to_string(transfer.status) +
           (transfer.range ? " with the range from " + std::to_string(transfer.range->first) : ""));
    return false;
}

bool DownloadBatch::DownloadEntry::StartOver(Transfer& transfer)
{
    LOG(INFO) << "Item " << m_item.name << ": " << m_sources[m_source]
              << " sends the whole file, not the rest; writing " << m_item.path << " anew";
    auto* file = dynamic_cast<std::ofstream*>(m_item.stream.get());
    if (!file) {
        Refuse("Item " + m_item.name + ": " + m_item.path + " cannot be written anew",
               Blame::Local);
        return false;
    }
    file->close();
    file->clear();
    file->open(m_item.path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!*file) {
        Refuse("Item " + m_item.name + ": " + m_item.path + " cannot be written anew",
               Blame::Local);
        return false;
    }
    transfer.start = 0;
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
    std::vector<char> block(kReadBlock);
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

// The ranges arrive at once, but SHA-256 takes the file in order: what the
// first range brings is hashed as it arrives, and whatever another range
// wrote before the hashed start reached it is read back from the file (the
// page cache, normally) once it has. Memory stays one block.
void DownloadBatch::DownloadEntry::CatchUp(std::uint64_t limit)
{
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t before = m_readBack;
    while (limit > 0) {
        const auto ahead =
            std::find_if(m_transfers.begin(), m_transfers.end(), [&](const Transfer& t) {
                return t.start <= m_hashed && m_hashed < t.start + t.written;
            });
        if (ahead == m_transfers.end()) {
            break;
        }
        std::uint64_t until = ahead->start + ahead->written;
        if (until - m_hashed > limit) {
            until = m_hashed + limit;
        }
        m_readBlock.resize(kReadBlock);
        while (m_hashed < until) {
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(until - m_hashed, m_readBlock.size()));
            const ssize_t got =
                ::pread(m_file, m_readBlock.data(), want, static_cast<off_t>(m_hashed));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                throw std::runtime_error("Item " + m_item.name + ": " + m_item.path +
                                         " cannot be read back to check it: " +
                                         (got < 0 ? std::strerror(errno) : "it is shorter"));
            }
            m_hash->Update(m_readBlock.data(), static_cast<std::size_t>(got));
            m_hashed += static_cast<std::uint64_t>(got);
            m_readBack += static_cast<std::uint64_t>(got);
            limit -= std::min(limit, static_cast<std::uint64_t>(got));
        }
    }
    if (m_readBack != before) {
        m_readBackTime += std::chrono::steady_clock::now() - started;
    }
}

std::uint64_t DownloadBatch::DownloadEntry::ContiguousBytes() const
{
    std::uint64_t end = 0;
    for (bool grew = true; grew;) {
        grew = false;
        for (const Transfer& transfer : m_transfers) {
            if (transfer.start <= end && end < transfer.start + transfer.written) {
                end = transfer.start + transfer.written;
                grew = true;
            }
        }
    }
    return end;
}

size_t DownloadBatch::DownloadEntry::OnHeader(char* data, size_t size, size_t count, void* transfer)
{
    auto& self = *static_cast<Transfer*>(transfer);
    try {
        self.entry.Header(self, std::string(data, size * count));
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << self.entry.m_item.name << " header error: " << exception.what();
        return 0;
    }
    return size * count;
}

// Headers of every reply come here, redirects included: a status line starts
// a new reply, and only the last one's status and range count.
void DownloadBatch::DownloadEntry::Header(Transfer& transfer, const std::string& line)
{
    if (boost::algorithm::starts_with(line, "HTTP/")) {
        const std::size_t space = line.find(' ');
        transfer.status =
            space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
        transfer.range.reset();
        if (transfer.status == 416 && m_file < 0) {
            // The kept part is as long as the file, or longer: it cannot be continued.
            m_dropFile = true;
        }
    } else if (boost::algorithm::istarts_with(line, "content-range:")) {
        transfer.range = ParseContentRange(line.substr(14));
    }
}

std::string DownloadBatch::DownloadEntry::Target() const
{
    return m_item.path.empty() ? "the data of " + m_sources[m_source] : m_item.path;
}

size_t DownloadBatch::DownloadEntry::OnData(char* data, size_t size, size_t count, void* transfer)
{
    auto& self = *static_cast<Transfer*>(transfer);
    return self.entry.Write(self, data, size * count);
}

size_t DownloadBatch::DownloadEntry::Write(Transfer& transfer, const char* data, size_t size)
{
    if (m_batch.m_stop || size == 0 || transfer.drop) {
        return 0;
    }
    try {
        if (!transfer.judged && !Judge(transfer)) {
            return 0;
        }
        return m_file >= 0 ? WriteAt(transfer, data, size) : WriteStream(transfer, data, size);
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << m_item.name << " write error: " << exception.what();
        Core::TrackException(Core::TypeName(exception), exception.what());
        return 0;
    }
}

// Why `whole` bytes are more than the file may have, refused; empty when
// they fit.
std::string DownloadBatch::DownloadEntry::Room(std::uint64_t whole) const
{
    if (m_item.byteLimit != 0 && whole > m_item.byteLimit) {
        return m_item.name + " refused: larger than " + std::to_string(m_item.byteLimit) + " bytes";
    }
    if (m_item.size && whole > *m_item.size) {
        return "size mismatch for " + m_item.name + ": expected " + std::to_string(*m_item.size) +
               " bytes, got more";
    }
    if (!m_item.size && m_item.maxBytes && whole > *m_item.maxBytes) {
        return m_item.name + " is larger than the " + std::to_string(*m_item.maxBytes) +
               " bytes it may take (half the free space for downloads)";
    }
    return {};
}

size_t DownloadBatch::DownloadEntry::WriteStream(Transfer& transfer, const char* data, size_t size)
{
    if (const std::string refusal = Room(transfer.start + transfer.written + size);
        !refusal.empty()) {
        // Only a server that sends more than the size it was given is at fault.
        Refuse(refusal, m_item.size ? Blame::Source : Blame::Local);
        return 0;
    }
    std::ostream& stream = *m_item.stream;
    if (!stream) {
        return 0;
    }
    // One bulk write per chunk. Returning fewer bytes than received makes
    // libcurl fail the transfer with its write error, so a refused byte is
    // never silently lost.
    const std::streamsize taken = stream.rdbuf()->sputn(data, static_cast<std::streamsize>(size));
    if (taken != static_cast<std::streamsize>(size)) {
        const int reason = errno;
        stream.setstate(std::ios::badbit);
        LOG(INFO) << "Item " << m_item.name << " write error: " << Target() << " took " << taken
                  << " of " << size << " bytes: " << std::strerror(reason);
        return taken > 0 ? static_cast<size_t>(taken) : 0;
    }
    transfer.written += size;
    if (m_hash) {
        m_hash->Update(data, size);
    }
    return size;
}

size_t DownloadBatch::DownloadEntry::WriteAt(Transfer& transfer, const char* data, size_t size)
{
    const std::uint64_t at = transfer.start + transfer.written;
    std::uint64_t take = size;
    if (transfer.end != kOpenEnd) {
        if (at >= transfer.end) {
            return 0;
        }
        take = std::min<std::uint64_t>(size, transfer.end - at);
    } else if (const std::string refusal = Room(at + size); !refusal.empty()) {
        Refuse(refusal, m_item.size ? Blame::Source : Blame::Local);
        return 0;
    }
    for (std::uint64_t done = 0; done < take;) {
        const ssize_t count = ::pwrite(m_file, data + done, static_cast<std::size_t>(take - done),
                                       static_cast<off_t>(at + done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            Refuse("Item " + m_item.name + " write error: could not write " + m_item.path + ": " +
                       std::strerror(count < 0 ? errno : ENOSPC),
                   Blame::Local);
            m_dropFile = false;
            return 0;
        }
        done += static_cast<std::uint64_t>(count);
    }
    if (m_hash && at == m_hashed) {
        m_hash->Update(data, static_cast<std::size_t>(take));
        m_hashed += take;
    }
    transfer.written += take;
    if (m_mode == Mode::Ranges) {
        m_received += take;
        UpdateProgress(m_item.expectedSize, m_received);
    }
    // Fewer bytes than given end the transfer: the first request asked for
    // the whole file and stops where the next range begins.
    return static_cast<size_t>(take);
}

int DownloadBatch::DownloadEntry::OnProgress(void* transfer, curl_off_t expected,
                                             curl_off_t received, curl_off_t, curl_off_t)
{
    auto& self = *static_cast<Transfer*>(transfer);
    DownloadEntry& entry = self.entry;
    if (entry.m_batch.m_stop) {
        return 1;
    }
    // A ranged reply's sizes count from its first byte: until it is clear
    // where that is, nothing is reported. The ranges of a segmented download
    // report their sum as they write.
    if (expected <= 0 || !self.judged || self.drop || entry.m_mode != Mode::Plain) {
        return 0;
    }
    try {
        entry.UpdateProgress(
            self.start + static_cast<unsigned long long>(expected),
            self.start + static_cast<unsigned long long>(std::max<curl_off_t>(received, 0)));
    } catch (const std::exception& exception) {
        LOG(INFO) << "Item " << entry.m_item.name << " progress error: " << exception.what();
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
