#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#ifdef __OBJC__
@class NSString;
#endif

// Queries of the system. No function keeps state between calls or throws for
// a failed query; each may be called on any thread.
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

#ifdef __OBJC__
// UTF-8 of `text`; empty for nil or an empty string.
std::string NSStringToStdString(NSString* text);
#endif

std::string GetExecutablePath();
// The bundle's Contents/Resources folder.
boost::filesystem::path GetResourcesPath();
// Test seam: tests whose program is not inside a bundle point the resources
// elsewhere; an empty path restores the bundle's. Call before other threads
// use GetResourcesPath.
void SetResourcesPathForTesting(const boost::filesystem::path& path);
// Everything the shell command writes to its standard output; empty when it
// cannot be started. Blocks until the command has ended.
std::string LaunchCommandWithStdout(const std::string& command);

// Parses a disk-image report ("hdiutil info" format) into records.
VolumeRecords ParseVolumesInfo(const std::string& report);
VolumeRecords GetVolumesInfo();
// The name (without extension) of the disk image mounted at the installer's
// volume in `records`; empty when there is none.
std::string DistribNameFromVolumes(const VolumeRecords& records);
std::string GetDistribName();
// The distribution name the run goes by: the setting DistribName (filled from
// the disk image, or given with "--distrib-name") when it holds a text,
// otherwise GetDistribName().
std::string CurrentDistribName();
// Browser named by a tag in `distribName`, first tag in table order.
PreferredBrowserInfo BrowserFromDistribName(const std::string& distribName);
PreferredBrowserInfo GetPreferredBrowserInfo();

std::string SystemName();
// The first three dot-separated components of a version text, "0" for each
// one missing: "11.2" gives {"11", "2", "0"}.
std::vector<std::string> SystemVersionComponents(const std::string& version);
std::string SystemVersion(const std::string& separator);
std::string OSName();
std::string OSBits();
std::string OSEdition();
std::string OSVersion();

std::string ReadEula(const std::string& locale);
std::unique_ptr<ILockableSync> CreateMutexInstance(const char* name);
// Free bytes of the volume that holds `path`; all ones when unknown.
// Test seam (Linux builds made with the tests): when the environment variable
// ZENTAK_TEST_FREE_SPACE holds a decimal number, that number is returned
// instead, so that end-to-end tests can fake a full disk.
unsigned long long GetDiscSpaceAvailableBytes(const boost::filesystem::path& path);
bool isRunningOnRosetta();

// The user's most preferred language, as "fr-FR"; empty when none is set.
std::string GetSystemUiLocale();
// The local Applications folder, created when missing.
boost::filesystem::path GetApplicationsFolder();

} // namespace Zentak::Util
