#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace Zentak::E2e {

// What a Linux installer package made by a test holds: one <appName>.app
// folder whose program Contents/MacOS/<appName> is a shell script that
// appends "<appName> launched" to $HOME/zentak-e2e-launch.log.
struct PackageContent {
    std::string appName;
    // Random bytes in Contents/Resources/filler.bin (they do not compress,
    // so the archive is about this large).
    std::uintmax_t fillerBytes = 0;
    // Small files under Contents/Resources/many/; many of them make the
    // package slow to list and extract.
    int extraFiles = 0;
    // Written to Contents/Resources/version.txt when not empty, to tell
    // installed copies apart.
    std::string version;
};

// The file the launched products write their lines to, inside HOME.
constexpr const char* kLaunchLogName = "zentak-e2e-launch.log";

// Writes the package as a gzip-compressed tar archive at `file` (the parent
// folder is created) and returns its size. Throws std::runtime_error when
// tar fails.
std::uintmax_t MakePackage(const std::filesystem::path& file, const PackageContent& content);

// Writes `size` random bytes to `file`: not a gzip archive at all.
std::uintmax_t MakeCorruptPackage(const std::filesystem::path& file, std::uintmax_t size);

} // namespace Zentak::E2e
