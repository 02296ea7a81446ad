#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace Zentak {

// The size of the file at `url` from a HEAD request, or 0 when it is unknown:
// no length in the reply, any failure (logged and reported, never thrown), a
// reply slower than 1 byte per second for 5 seconds, or the setting
// AssumeContentLengthUnavailable switched on. Blocks the calling thread for the
// whole request, which ends within about a second once `stop` (when given)
// turns true; safe from any thread.
std::uint64_t GetDownloadSize(const std::string& url, const std::atomic<bool>* stop = nullptr);

} // namespace Zentak
