#pragma once

#include <string>

#include <boost/filesystem/path.hpp>

// Pieces of the Linux system queries, exposed for tests.
namespace Zentak::Util {

// A disk-image report in the "hdiutil info" text format for the loop devices
// under `sysBlock` (normally /sys/block): one block per attached device with
// its backing file as "image-path", then one "/dev/loopN..." line per mount
// point found for the device or its partitions in `mountInfo` (the text of
// /proc/self/mountinfo).
std::string LoopVolumesReport(const boost::filesystem::path& sysBlock, const std::string& mountInfo);

// The VERSION_ID value of an os-release text, without quotes; empty when
// absent.
std::string OsReleaseVersionId(const std::string& osRelease);

} // namespace Zentak::Util
