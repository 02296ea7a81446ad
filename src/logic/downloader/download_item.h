#pragma once

#include <memory>
#include <ostream>
#include <string>

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
    // The file behind `stream`, when it is one. Only used to name the file in
    // a failure text when its data cannot be written; may stay empty.
    std::string path;
};

} // namespace Zentak
