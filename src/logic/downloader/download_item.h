#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace Zentak {

// One file to fetch. Moved into the downloader, which owns it from then on;
// the stream is destroyed (a file is closed) when its transfer ends.
struct DownloadItem {
    // The item's identity in every item event and log line.
    std::string name;
    std::string url;
    // Where the received bytes go, opened by the caller: a std::ofstream
    // (out | trunc | binary) on the target file, or an in-memory stream.
    std::unique_ptr<std::ostream> stream;
    // The file behind `stream`, when it is one. Names the file in a failure
    // text when its data cannot be written; resuming needs it (below).
    std::string path;

    // Integrity, optional. With `sha256` (64 lowercase hex digits) the item
    // counts as finished only when the SHA-256 of the whole file equals it;
    // with `size`, only when the whole file has that many bytes. Otherwise the
    // batch fails with "sha256 mismatch for <name>: ..." or "size mismatch for
    // <name>: ...", and a file target is emptied so nothing bad is kept.
    std::string sha256;
    std::optional<std::uint64_t> size;
    // Without a `size`, the most bytes the whole file may have: a body that
    // grows past it (an endless one) fails the batch with "<name> is larger
    // than the <n> bytes it may take ..." before it can fill the disk.
    std::optional<std::uint64_t> maxBytes;

    // Resume: the first `resumeFrom` bytes of the file at `path` are already
    // there from an earlier attempt, and `stream` is a std::ofstream that
    // appends to that file. The transfer asks for the rest (an HTTP range);
    // when the server sends the whole file instead, the file is written anew.
    // Item progress and sizes always count the whole file. Only meaningful
    // with `sha256` (the joined file is checked as a whole) and a `path`.
    std::uint64_t resumeFrom = 0;

    // Transfer policy. Without `decodeContent` no content encoding is asked
    // for and the bytes are stored exactly as served, whatever encoding the
    // server claims: a package or picture is compressed in its own format
    // already, and decoding it would hand on other bytes than the file.
    bool decodeContent = false;
    // When not 0: the most bytes (decoded ones with `decodeContent`) the
    // stream takes; one more fails the item with "<name> refused: larger
    // than <n> bytes" while the body is still arriving.
    std::uint64_t byteLimit = 0;
    // When not 0: the whole transfer's time limit in seconds.
    long timeoutSeconds = 0;

    // Other copies of the file, tried in order after `url` when a source
    // cannot deliver it: no connection, a timeout, status 404 or 500 and
    // above, or a file that fails its size or SHA-256 check. Each source
    // starts the file anew. Only the failure of the last source fails the
    // batch, and its text then names every source and why it failed. Needs
    // a std::ofstream at `path`.
    std::vector<std::string> mirrors;

    // Segmented download: with `connections` above 1, a file target
    // (`path`, a std::ofstream), an `expectedSize` of at least
    // kSegmentedMinimum and nothing to resume, the transfer first asks for
    // "bytes=0-"; a reply "206" whose Content-Range covers exactly that size
    // splits the file into up to `connections` ranges fetched at once and
    // written at their offsets. Anything else is one plain transfer. Item
    // progress and sizes are those of a single transfer.
    int connections = 1;
    std::uint64_t expectedSize = 0;
    static constexpr std::uint64_t kSegmentedMinimum = 8 * 1024 * 1024;
    static constexpr int kMostConnections = 16;
};

} // namespace Zentak
