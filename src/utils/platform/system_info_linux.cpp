#include "utils/platform/system_info.h"
#include "utils/platform/system_info_linux.h"
#include "utils/platform/system_info_platform.h"

#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include "utils/string_utils.h"

namespace Zentak::Util {
namespace fs = boost::filesystem;

namespace {

constexpr unsigned long long kUnknownFreeSpace = ~0ULL;

std::string ReadFile(const fs::path& path)
{
    std::ifstream stream(path.string(), std::ios::binary);
    if (!stream) {
        return {};
    }
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

std::string ReadTrimmedLine(const fs::path& path)
{
    std::string text = ReadFile(path);
    Trim(text);
    return text;
}

// mountinfo writes space, tab, line feed and backslash as "\ooo".
std::string UnescapeMountField(const std::string& field)
{
    std::string result;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            result += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                        (field[i + 3] - '0'));
            i += 3;
        } else {
            result += field[i];
        }
    }
    return result;
}

// "major:minor" -> mount points, in mountinfo order.
std::multimap<std::string, std::string> MountPointsByDevice(const std::string& mountInfo)
{
    std::multimap<std::string, std::string> mounts;
    std::istringstream lines(mountInfo);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string device;
        std::string root;
        std::string mountPoint;
        if (fields >> id >> parent >> device >> root >> mountPoint) {
            mounts.emplace(device, UnescapeMountField(mountPoint));
        }
    }
    return mounts;
}

// The whole device first, then its partitions (loop0p1, ...) by name.
std::vector<std::string> DeviceAndPartitions(const fs::path& deviceDir)
{
    std::vector<std::string> names{deviceDir.filename().string()};
    std::vector<std::string> partitions;
    boost::system::error_code error;
    for (fs::directory_iterator it(deviceDir, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (StartsWith(name, names.front() + "p") && fs::exists(it->path() / "dev", error)) {
            partitions.push_back(name);
        }
    }
    std::sort(partitions.begin(), partitions.end());
    names.insert(names.end(), partitions.begin(), partitions.end());
    return names;
}

std::string DefaultHome()
{
    if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return {};
}

// "fr_FR.UTF-8@euro" -> "fr-FR"; the C locale means no preference.
std::string LocaleFromVariable(const std::string& value)
{
    std::string locale = value.substr(0, value.find_first_of(".@"));
    if (locale == "C" || locale == "POSIX") {
        return {};
    }
    for (char& c : locale) {
        if (c == '_') {
            c = '-';
        }
    }
    return locale;
}

} // namespace

std::string GetExecutablePath()
{
    boost::system::error_code error;
    const fs::path path = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        LOG(INFO) << "Unable to read \"/proc/self/exe\": " << error.message();
    }
    LOG(INFO) << "_NSGetExecutablePath result: \"" << path.string() << "\"";
    return path.string();
}

fs::path PlatformResourcesPath()
{
    // installer.app/Contents/MacOS/installer -> installer.app/Contents/Resources
    return (fs::path(GetExecutablePath()).parent_path() / ".." / "Resources").lexically_normal();
}

std::string LoopVolumesReport(const fs::path& sysBlock, const std::string& mountInfo)
{
    const auto mounts = MountPointsByDevice(mountInfo);
    std::vector<fs::path> loops;
    boost::system::error_code error;
    for (fs::directory_iterator it(sysBlock, error), end; !error && it != end;
         it.increment(error)) {
        if (StartsWith(it->path().filename().string(), "loop")) {
            loops.push_back(it->path());
        }
    }
    std::sort(loops.begin(), loops.end());

    std::string report = "driver          : loop\n";
    for (const fs::path& loop : loops) {
        const std::string backingFile = ReadTrimmedLine(loop / "loop" / "backing_file");
        // A detached device has no backing file; a name with a line feed
        // would break the line format.
        if (backingFile.empty() || backingFile.find('\n') != std::string::npos) {
            continue;
        }
        report += "================================================\n";
        report += "image-path      : " + backingFile + "\n";
        for (const std::string& device : DeviceAndPartitions(loop)) {
            const fs::path deviceDir = device == loop.filename().string() ? loop : loop / device;
            const std::string numbers = ReadTrimmedLine(deviceDir / "dev");
            const auto [first, last] = mounts.equal_range(numbers);
            if (numbers.empty() || first == last) {
                report += "/dev/" + device + "\n";
                continue;
            }
            for (auto it = first; it != last; ++it) {
                if (it->second.find('\n') == std::string::npos) {
                    report += "/dev/" + device + "\t\t" + it->second + "\n";
                }
            }
        }
    }
    return report;
}

VolumeRecords GetVolumesInfo()
{
    return ParseVolumesInfo(LoopVolumesReport("/sys/block", ReadFile("/proc/self/mountinfo")));
}

std::string OsReleaseVersionId(const std::string& osRelease)
{
    std::istringstream lines(osRelease);
    std::string line;
    while (std::getline(lines, line)) {
        if (!StartsWith(line, "VERSION_ID=")) {
            continue;
        }
        std::string value(Trim(std::string_view(line).substr(11)));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

std::string SystemVersion(const std::string& separator)
{
    const auto components = SystemVersionComponents(OsReleaseVersionId(ReadFile("/etc/os-release")));
    return components[0] + separator + components[1] + separator + components[2];
}

std::string OSVersion()
{
    return SystemVersionComponents(OsReleaseVersionId(ReadFile("/etc/os-release")))[0];
}

unsigned long long GetDiscSpaceAvailableBytes(const fs::path& path)
{
#ifdef ZENTAK_TEST_SEAMS
    // Tests give the free space of a full disk; only builds made with the
    // tests read it.
    if (const char* fake = std::getenv("ZENTAK_TEST_FREE_SPACE"); fake && *fake) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(fake, &end, 10);
        if (errno == 0 && *end == '\0' && fake[0] >= '0' && fake[0] <= '9') {
            LOG(INFO) << "Path \"" << path << "\" has " << value
                      << " bytes available (ZENTAK_TEST_FREE_SPACE)";
            return value;
        }
        LOG(INFO) << "Ignoring ZENTAK_TEST_FREE_SPACE=\"" << fake << "\": not a decimal number";
    }
#endif
    unsigned long long result = kUnknownFreeSpace;
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) {
        const int error = errno;
        LOG(INFO) << "statvfs failed for \"" << path.string() << "\": " << std::strerror(error);
    } else {
        result = static_cast<unsigned long long>(info.f_bavail) *
                 static_cast<unsigned long long>(info.f_frsize);
    }
    LOG(INFO) << "Path \"" << path << "\" has " << result << " bytes available";
    return result;
}

bool isRunningOnRosetta()
{
    return false;
}

std::string GetSystemUiLocale()
{
    if (const char* language = std::getenv("LANGUAGE"); language && *language) {
        for (const std::string& entry : Split(language, ':')) {
            const std::string locale = LocaleFromVariable(entry);
            if (!locale.empty()) {
                return locale;
            }
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(name); value && *value) {
            const std::string locale = LocaleFromVariable(value);
            if (!locale.empty()) {
                return locale;
            }
        }
    }
    return {};
}

fs::path GetApplicationsFolder()
{
    const fs::path folder = fs::path(DefaultHome()) / "Applications";
    boost::system::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        LOG(INFO) << "Unable to create applications folder \"" << folder.string()
                  << "\": " << error.message();
    }
    return folder;
}

} // namespace Zentak::Util
