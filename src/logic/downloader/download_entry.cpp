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
#include "utils/string_utils.h"

namespace Zentak::Downloads {

namespace {

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

} // namespace

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

} // namespace Zentak::Downloads

namespace Zentak {

using namespace Downloads;

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
        m_failure = "every source of " + m_item.name + " failed: " + Util::Join(m_sourceFailures, "; ");
        throw Curl::TransferFailure(m_failure, "every source failed: " + Util::Join(m_sourceCauses, "; "));
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

} // namespace Zentak
