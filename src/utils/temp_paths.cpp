#include "utils/temp_paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

namespace Zentak::Util {
namespace fs = boost::filesystem;

namespace {

constexpr const char* kRunDirPrefix = "ZentakWebInstaller-";
constexpr std::size_t kRunDirPrefixLength = 19;
// Random names over 31 bits practically never collide; the bound only keeps a
// broken file system (every name reported as taken) from spinning forever.
constexpr int kMaxNameAttempts = 1000;

struct TempState {
    std::random_device device{"/dev/urandom"};
    std::mt19937 engine{device()};
    std::uniform_int_distribution<int> distribution{0, 0x7FFFFFFF};
    std::function<int()> drawOverride;

    std::mutex guard; // serialises GetTempDir and the run directory below
    fs::path runDir;
    int lockFd = -1;
};

TempState& State()
{
    static TempState state;
    return state;
}

int Draw()
{
    TempState& state = State();
    if (state.drawOverride) {
        return state.drawOverride();
    }
    return state.distribution(state.engine);
}

fs::filesystem_error ErrnoError(const char* what, const fs::path& path, int error)
{
    return fs::filesystem_error(what, path,
                                boost::system::error_code(error, boost::system::system_category()));
}

// Held for the life of the process: the kernel drops the lock when we exit or
// crash, which is what tells another installer's clean-up that we are gone.
// Returns -1 with `error` set on failure; ENOENT means the directory was
// taken away meanwhile (by a clean-up that saw it before the lock existed).
int LockRunDir(const fs::path& directory, int& error)
{
    const fs::path lockPath = directory / kTempDirLockFileName;
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::flock(fd, LOCK_EX) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    // The lock only counts while the file we hold is the one in the directory.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) != 0 || ::stat(lockPath.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        error = ENOENT;
        ::close(fd);
        return -1;
    }
    return fd;
}

void ReleaseRunDirLock(TempState& state)
{
    if (state.lockFd >= 0) {
        ::close(state.lockFd);
        state.lockFd = -1;
    }
}

// True when no living process holds the directory's lock. A directory without
// a lock file is a leftover (or not ours at all) and counts as stale. When the
// lock is ours now, `lockFd` keeps it until the directory is gone.
bool IsStaleRunDir(const fs::path& directory, int& lockFd)
{
    const fs::path lockPath = directory / kTempDirLockFileName;
    lockFd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (lockFd < 0) {
        return errno == ENOENT;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        lockFd = -1;
        return false;
    }
    return true;
}

// The system temporary directory: TMPDIR when it names a folder, else the
// system's default, as the C library's own temporary files do. A TMPDIR
// that names nothing must not stop the installation.
fs::path TempBase()
{
    boost::system::error_code error;
    fs::path base = fs::temp_directory_path(error);
    if (!error) {
        return base;
    }
    const char* tmpdir = std::getenv("TMPDIR");
    LOG(WARNING) << "TMPDIR \"" << (tmpdir ? tmpdir : "") << "\" is not a usable folder ("
                 << error.message() << "), using " << P_tmpdir;
    return fs::path(P_tmpdir);
}

} // namespace

const fs::path& GetTempDir()
{
    TempState& state = State();
    std::lock_guard<std::mutex> lock(state.guard);
    if (!state.runDir.empty()) {
        return state.runDir;
    }
    const fs::path base = TempBase();
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        fs::path candidate = base / (kRunDirPrefix + std::to_string(Draw()));
        // mkdir itself decides whether the name is free, so two installers
        // starting together can never share a directory.
        if (::mkdir(candidate.c_str(), 0700) == 0) {
            int error = 0;
            state.lockFd = LockRunDir(candidate, error);
            if (state.lockFd < 0 && error == ENOENT) {
                LOG(WARNING) << "Temporary directory \"" << candidate.string()
                             << "\" vanished while being locked; drawing another name";
                continue;
            }
            if (state.lockFd < 0) {
                // Still usable; only another installer's clean-up could take it.
                LOG(WARNING) << "Unable to lock temporary directory \"" << candidate.string()
                             << "\": " << std::strerror(error);
            }
            state.runDir = std::move(candidate);
            return state.runDir;
        }
        const int error = errno;
        if (error != EEXIST) {
            LOG(ERROR) << "Unable to create temporary directory \"" << candidate.string()
                       << "\": " << std::strerror(error);
            throw ErrnoError("GetTempDir", candidate, error);
        }
    }
    LOG(ERROR) << "No free temporary directory name in \"" << base.string() << "\"";
    throw ErrnoError("GetTempDir", base, EEXIST);
}

fs::path CreateTempPath(const fs::path& directory, const fs::path& extension,
                        const std::string& suffix)
{
    // The suffix carries outside text (a web user id, a browser tag): it
    // must stay one file name inside `directory`, and its dots must not be
    // taken for the extension.
    std::string safeSuffix = suffix;
    for (char& c : safeSuffix) {
        if (c == '/' || c == '\\' || c == '\0') {
            c = '_';
        }
    }
    std::string dottedExtension = extension.string();
    if (!dottedExtension.empty() && dottedExtension.front() != '.') {
        dottedExtension.insert(0, ".");
    }
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const fs::path candidate =
            directory / (std::to_string(Draw()) + safeSuffix + dottedExtension);
        boost::system::error_code error;
        const fs::file_status status = fs::status(candidate, error);
        if (error || status.type() == fs::file_not_found) {
            return candidate;
        }
    }
    LOG(ERROR) << "No free temporary file name in \"" << directory.string() << "\"";
    throw ErrnoError("CreateTempPath", directory, EEXIST);
}

void CleanupTempDir()
{
    TempState& state = State();
    {
        // Our own lock would make our directory look alive to the test below.
        std::lock_guard<std::mutex> lock(state.guard);
        ReleaseRunDirLock(state);
    }

    boost::system::error_code error;
    const fs::path base = TempBase();
    fs::directory_iterator it(base, fs::directory_options::skip_permission_denied, error);
    if (error) {
        return;
    }
    for (; it != fs::directory_iterator(); ++it) {
        const fs::path& entry = it->path();
        boost::system::error_code statusError;
        const fs::file_status status = fs::status(entry, statusError);
        if (statusError || status.type() != fs::directory_file) {
            continue;
        }
        const std::string name = entry.filename().string();
        if (name.size() < kRunDirPrefixLength ||
            name.compare(0, kRunDirPrefixLength, kRunDirPrefix) != 0) {
            continue;
        }
        int lockFd = -1;
        if (!IsStaleRunDir(entry, lockFd)) {
            continue; // another installer still runs there
        }
        boost::system::error_code removeError;
        fs::remove_all(entry, removeError);
        if (lockFd >= 0) {
            ::close(lockFd);
        }
    }
}

void SetTempNameDrawForTesting(std::function<int()> draw)
{
    State().drawOverride = std::move(draw);
}

void ResetTempDirForTesting()
{
    TempState& state = State();
    std::lock_guard<std::mutex> lock(state.guard);
    ReleaseRunDirLock(state);
    state.runDir.clear();
}

} // namespace Zentak::Util
