#pragma once

// Files replaced whole: written to a temporary file beside them, made
// durable, then renamed over the old one, so readers see the old or the new
// file and never a part of one.

#include <vector>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

// A new temporary file beside `path`, named ".<file name>.XXXXXX",
// close-on-exec and locked until it is closed. Temporary files of the same
// name whose lock is free were left by writers killed before their rename;
// they are removed first. Returns the descriptor, its name in `name`; -1
// with errno set when none can be made.
int CreateLockedTemporary(const boost::filesystem::path& path, std::vector<char>& name);

// Makes what was written to `fd` durable: on the storage itself, not only
// in the drive's cache, where the system can tell them apart. 0, or -1
// with errno set.
int SyncToStorage(int fd);

} // namespace Zentak::Util
