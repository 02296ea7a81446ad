#pragma once

#include <cstddef>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

// Where the logs of runs that did not install are kept: "Library/Logs/Zentak
// Installer" in the user's home folder, on macOS the system's place for
// logs, here the same place under $HOME. Empty without HOME.
boost::filesystem::path KeptLogsFolder();

// The log file glog writes for this program in `logDir` (the target of its
// "<program>.INFO" link); empty when there is none.
boost::filesystem::path CurrentLogFile(const boost::filesystem::path& logDir,
                                       const std::string& program);

// Copies `log` into `folder` as "installer-<date>-<time>-<pid>.log" and then
// removes the oldest copies there until at most `keep` are left. Returns the
// copy's path; empty (and nothing removed) when it cannot be made.
boost::filesystem::path KeepLog(const boost::filesystem::path& log,
                                const boost::filesystem::path& folder, std::size_t keep = 10);

} // namespace Zentak::Util
