#include "external/plist.h"
#include "external/plist_platform.h"

#include <unistd.h>

namespace Zentak::Util {

int SyncToStorage(int fd)
{
    // fsync waits for the drive to report the data stored, cache included.
    return ::fsync(fd);
}

std::unique_ptr<PlistDictionary> OpenPlistDictionary(const boost::filesystem::path& path)
{
    return OpenPlistFile(path, true);
}

std::unique_ptr<PlistDictionary> CreatePlistDictionary(const boost::filesystem::path& path)
{
    return OpenPlistFile(path, false);
}

} // namespace Zentak::Util
