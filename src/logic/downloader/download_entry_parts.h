#pragma once

// What the download batch's files share about an entry's transfers; private
// to the downloader.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "logic/downloader/download_batch.h"

namespace Zentak::Downloads {

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

inline unsigned char Percent(unsigned long long part, unsigned long long whole)
{
    return static_cast<unsigned char>(std::min<unsigned long long>(part * 100 / whole, 100));
}

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> size; // absent for "*"
};

// "Content-Range: bytes <first>-<last>/<size or *>".
std::optional<ContentRange> ParseContentRange(const std::string& value);

// Failures that another copy of the file may not have: the source is
// unreachable, too slow, broken or does not have the file.
bool SourceAtFault(CURLcode result, long status);

long ResponseStatus(CURL* handle);

} // namespace Zentak::Downloads

namespace Zentak {

// One request of an entry and the part of the file it writes: the whole file
// (from `start`, which a resumed transfer puts after the kept part), or one
// range of a segmented download.
struct DownloadBatch::DownloadEntry::Transfer {
    explicit Transfer(DownloadEntry& owner) : entry(owner) {}

    DownloadEntry& entry;
    std::unique_ptr<Curl::CurlEasy> session;
    std::uint64_t start = 0;      // first byte of the file it writes
    std::uint64_t end = Downloads::kOpenEnd; // one past its last byte
    std::uint64_t written = 0;    // bytes it wrote from `start` on
    std::uint64_t asked = 0;      // first byte its current request asks for
    bool ranged = false;          // the current request names a range
    long status = 0;              // status of its latest reply header block
    std::optional<Downloads::ContentRange> range;
    bool judged = true;           // its reply has been found usable
    bool finished = false;
    bool drop = false;            // to be ended and forgotten (Tend)
    bool pending = false;         // to be (re)started (Tend)
    int retries = 0;

    bool Complete() const { return end != Downloads::kOpenEnd && start + written == end; }
};

} // namespace Zentak
