#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

struct PreferredBrowserInfo {
    std::string name;
    std::string tag;
};

using VolumeRecords = std::list<std::map<std::string, std::string>>;

class ILockableSync {
public:
    virtual ~ILockableSync() = default;
    virtual bool Lock() = 0;
    virtual bool TryLock(unsigned int timeout) = 0;
    virtual void Unlock() = 0;
};

std::string GetExecutablePath();
// The bundle's Contents/Resources folder.
boost::filesystem::path GetResourcesPath();
// Everything the shell command writes to its standard output.
std::string LaunchCommandWithStdout(const std::string& command);

// Parses a disk-image report ("hdiutil info" format) into records.
VolumeRecords ParseVolumesInfo(const std::string& report);
VolumeRecords GetVolumesInfo();
// The name (without extension) of the disk image mounted at the installer's
// volume in `records`; empty when there is none.
std::string DistribNameFromVolumes(const VolumeRecords& records);
std::string GetDistribName();
// Browser named by a tag in `distribName`, first tag in table order.
PreferredBrowserInfo BrowserFromDistribName(const std::string& distribName);
PreferredBrowserInfo GetPreferredBrowserInfo();

std::string SystemName();
std::string SystemVersion(const std::string& separator);
std::string OSName();
std::string OSBits();
std::string OSEdition();
std::string OSVersion();

std::string ReadEula(const std::string& locale);
std::unique_ptr<ILockableSync> CreateMutexInstance(const char* name);
// Free bytes of the volume that holds `path`; all ones when unknown.
unsigned long long GetDiscSpaceAvailableBytes(const boost::filesystem::path& path);
bool isRunningOnRosetta();

// The user's preferred languages, most preferred first, as "fr-FR".
std::string GetSystemUiLocale();
// The local Applications folder, created when missing.
boost::filesystem::path GetApplicationsFolder();

} // namespace Zentak::Util
