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

// The data path of an entry: what arrives (headers, bytes, progress), where
// it is written and how it is hashed.
namespace Zentak {

using namespace Downloads;

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
               " bytes it may take (its share of half the free space for downloads)";
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
