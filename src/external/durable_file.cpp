#include "external/durable_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the descriptor still is the file named `name`.
bool StillNamed(int fd, const char* name)
{
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::lstat(name, &named) == 0 && SameFile(held, named);
}

// A writer killed between creating its temporary file and renaming it leaves
// the file behind; the next writer of the same file removes it. Every writer
// holds a lock on its temporary file until the rename, so the file of one
// that is still writing is left alone.
void RemoveStaleTemporaries(const fs::path& folder, const std::string& prefix)
{
    boost::system::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const int fd = ::open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd, it->path().c_str())) {
            LOG(INFO) << "Removing the temporary file " << it->path().string()
                      << " a writer left behind";
            ::unlink(it->path().c_str());
        }
        ::close(fd);
    }
}

} // namespace

int CreateLockedTemporary(const fs::path& path, std::vector<char>& name)
{
    // A leading dot keeps the temporary file out of scans that go by
    // file-name prefix (the maker's plists).
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    const std::string prefix = "." + path.filename().string() + ".";
    RemoveStaleTemporaries(folder, prefix);
    const std::string pattern = (folder / (prefix + "XXXXXX")).string();
    // A clean-up by another writer may take the file between its creation
    // and our lock; then it is made anew.
    for (int attempt = 0; attempt < 3; ++attempt) {
        name.assign(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0) {
            return -1;
        }
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (::flock(fd, LOCK_EX) == 0 && StillNamed(fd, name.data())) {
            return fd;
        }
        ::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

} // namespace Zentak::Util
