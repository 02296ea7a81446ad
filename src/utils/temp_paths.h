#pragma once

#include <functional>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

// The per-run directory "ZentakWebInstaller-<n>" in the system temporary
// directory, created (mode 0700) on the first call and fixed for the life of
// the process. A lock file inside it is held until exit, so that another
// installer's clean-up spares it. Safe from any thread; throws
// boost::filesystem::filesystem_error when it cannot be made.
const boost::filesystem::path& GetTempDir();

// A path in `directory` named by a random number, `suffix` and `extension`
// that names nothing yet. Nothing is created. Call from one thread at a time.
boost::filesystem::path CreateTempPath(const boost::filesystem::path& directory,
                                       const boost::filesystem::path& extension,
                                       const std::string& suffix);

// Removes this run's directory and those left by earlier runs; directories
// of installers that still run (their lock is held) are spared. Never throws
// for a failed status query or removal.
void CleanupTempDir();

// Name of the lock file inside each run directory.
constexpr const char* kTempDirLockFileName = ".lock";

// Test seams, not for production code.
// Replaces the random draw behind generated names; an empty function restores
// the random engine.
void SetTempNameDrawForTesting(std::function<int()> draw);
// Forgets the run directory and closes this process's descriptor of its lock
// file, so that the next GetTempDir makes a new directory.
void ResetTempDirForTesting();

} // namespace Zentak::Util
