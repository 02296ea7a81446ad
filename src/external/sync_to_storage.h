#pragma once

namespace Zentak::Util {

// Makes what was written to `fd` durable: on the storage itself, not only
// in the drive's cache, where the system can tell them apart. 0, or -1
// with errno set.
int SyncToStorage(int fd);

} // namespace Zentak::Util
