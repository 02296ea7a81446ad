// The parts of the system queries that are the same on every platform.
#include "utils/platform/system_info.h"
#include "utils/platform/system_info_platform.h"
#include "utils/settings.h"

#include <fcntl.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include "utils/posix_compat.h"
#include "utils/string_utils.h"

namespace Zentak::Util {
namespace fs = boost::filesystem;

namespace {

constexpr const char* kInstallerMountPoint = "/Volumes/Zentak Reel Maker Installer";

// Ordered by tag: when a name carries several tags, the first one here wins.
const std::map<std::string, std::string>& BrowserTable()
{
    static const std::map<std::string, std::string> table = {
        {"SetupC", "Google Chrome"}, {"SetupE", "Microsoft Edge"}, {"SetupF", "firefox"},
        {"SetupO", "Opera"},         {"SetupS", "Safari"},         {"SetupY", "Yandex"},
    };
    return table;
}

// The installer never waits for another instance on this platform.
class Mutex : public ILockableSync {
public:
    bool Lock() override { return true; }
    bool TryLock(unsigned int) override { return true; }
    void Unlock() override {}
};

} // namespace

std::string LaunchCommandWithStdout(const std::string& command)
{
    FILE* pipe = nullptr;
    {
        // Its fork must not hand our other pipes to the command while they
        // are not yet close-on-exec.
        std::lock_guard<std::mutex> lock(ForkMutex());
#ifdef __linux__
        // Keeps our end of the pipe out of children that other threads start
        // meanwhile, which would otherwise hold the pipe open.
        pipe = ::popen(command.c_str(), "re");
#else
        pipe = ::popen(command.c_str(), "r");
        if (pipe) {
            ::fcntl(::fileno(pipe), F_SETFD, FD_CLOEXEC);
        }
#endif
    }
    if (!pipe) {
        LOG(INFO) << "Unable to start command \"" << command << "\"";
        return {};
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        const size_t count = std::fread(buffer, 1, sizeof(buffer), pipe);
        output.append(buffer, count);
        if (count < sizeof(buffer)) {
            break; // end of output or a read error
        }
    }
    ::pclose(pipe);
    return output;
}

VolumeRecords ParseVolumesInfo(const std::string& report)
{
    VolumeRecords records;
    std::map<std::string, std::string> current;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        // Device lines start with the device; matching "/dev/" anywhere would
        // also swallow an image path such as /Users/me/dev/Setup.dmg.
        if (StartsWith(line, "/dev/")) {
            const auto volumes = line.find("/Volumes/");
            if (volumes != std::string::npos) {
                current.emplace("mount-point", line.substr(volumes));
            }
            continue;
        }
        const auto colon = line.find(':');
        std::string key;
        if (colon != std::string::npos) {
            key = std::string(Trim(std::string_view(line).substr(0, colon)));
        }
        if (key.empty()) {
            records.push_back(std::move(current));
            current.clear();
            continue;
        }
        // emplace keeps the first value of a repeated key.
        current.emplace(std::move(key), std::string(Trim(std::string_view(line).substr(colon + 1))));
    }
    if (!current.empty()) {
        records.push_back(std::move(current));
    }
    return records;
}

std::string DistribNameFromVolumes(const VolumeRecords& records)
{
    for (const auto& record : records) {
        const auto mountPoint = record.find("mount-point");
        const auto imagePath = record.find("image-path");
        if (mountPoint == record.end() || imagePath == record.end() ||
            mountPoint->second != kInstallerMountPoint) {
            continue;
        }
        const std::string& path = imagePath->second;
        const auto slash = path.rfind('/');
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const auto dot = name.rfind('.');
        if (dot != std::string::npos) {
            name.erase(dot);
        }
        return name;
    }
    return {};
}

std::string GetDistribName()
{
    return DistribNameFromVolumes(GetVolumesInfo());
}

PreferredBrowserInfo BrowserFromDistribName(const std::string& distribName)
{
    for (const auto& [tag, name] : BrowserTable()) {
        if (distribName.find(tag) != std::string::npos) {
            return {name, tag};
        }
    }
    return {};
}

std::string CurrentDistribName()
{
    const std::any setting = Settings::Get(Settings::ID::DistribName);
    if (const auto* name = std::any_cast<std::string>(&setting)) {
        return *name;
    }
    return GetDistribName();
}

PreferredBrowserInfo GetPreferredBrowserInfo()
{
    return BrowserFromDistribName(CurrentDistribName());
}

// The configuration's keys and the statistics are named after these values,
// so they stay the same on every platform the installer is built for.
std::string SystemName()
{
    return "mac";
}

std::string OSName()
{
    return "Mac";
}

std::string OSBits()
{
    return "64";
}

std::string OSEdition()
{
    return {};
}

std::vector<std::string> SystemVersionComponents(const std::string& version)
{
    std::vector<std::string> components = Split(version, '.');
    components.resize(3);
    for (std::string& component : components) {
        if (component.empty()) {
            component = "0";
        }
    }
    return components;
}

std::string ReadEula(const std::string& locale)
{
    const fs::path path = GetResourcesPath() / (locale + ".txt");
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || status.type() == fs::file_not_found) {
        LOG(INFO) << "Can't find EULA file '" << path.string() << "'";
        return {};
    }
    std::ifstream stream(path.string(), std::ios::in | std::ios::binary | std::ios::ate);
    if (!stream) {
        LOG(INFO) << "Unable to open EULA file '" << path.string() << "'";
        return {};
    }
    std::string text;
    const std::streamoff size = stream.tellg();
    if (size > 0) {
        text.reserve(static_cast<size_t>(size));
    }
    stream.seekg(0, std::ios::beg);
    text.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    return text;
}

std::unique_ptr<ILockableSync> CreateMutexInstance(const char*)
{
    return std::make_unique<Mutex>();
}

namespace {
boost::filesystem::path& ResourcesPathOverride()
{
    static boost::filesystem::path path;
    return path;
}
} // namespace

void SetResourcesPathForTesting(const boost::filesystem::path& path)
{
    ResourcesPathOverride() = path;
}

boost::filesystem::path GetResourcesPath()
{
    if (!ResourcesPathOverride().empty()) {
        return ResourcesPathOverride();
    }
    return PlatformResourcesPath();
}

} // namespace Zentak::Util
