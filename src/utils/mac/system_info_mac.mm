#include "utils/mac/system_info.h"
#include "utils/mac/system_info_platform.h"

#import <Foundation/Foundation.h>
#include <mach-o/dyld.h>
#include <sys/sysctl.h>

#include <cstring>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

namespace Zentak::Util {
namespace fs = boost::filesystem;

namespace {

constexpr unsigned long long kUnknownFreeSpace = ~0ULL;

// Major, minor and patch of the running system; "0" for what is missing.
std::vector<std::string> OsSystemVersion()
{
    std::string version;
    @autoreleasepool {
        NSDictionary* info = [NSDictionary
            dictionaryWithContentsOfFile:@"/System/Library/CoreServices/SystemVersion.plist"];
        id value = [info objectForKey:@"ProductVersion"];
        if ([value isKindOfClass:[NSString class]]) {
            version = NSStringToStdString((NSString*)value);
        }
    }
    return SystemVersionComponents(version);
}

} // namespace

std::string NSStringToStdString(NSString* text)
{
    if (text == nil || [text length] == 0) {
        return {};
    }
    const char* utf8 = [text UTF8String];
    return utf8 ? std::string(utf8) : std::string();
}

std::string GetExecutablePath()
{
    uint32_t size = 0;
    // The first call only reports the size needed, terminating zero included.
    _NSGetExecutablePath(nullptr, &size);
    std::string path(size, '\0');
    if (size == 0 || _NSGetExecutablePath(&path[0], &size) != 0) {
        path.clear();
    } else {
        path.resize(std::strlen(path.c_str()));
    }
    LOG(INFO) << "_NSGetExecutablePath result: \"" << path << "\"";
    return path;
}

fs::path PlatformResourcesPath()
{
    @autoreleasepool {
        NSBundle* bundle = [NSBundle mainBundle];
        if (bundle != nil) {
            return NSStringToStdString([bundle resourcePath]);
        }
    }
    return fs::path(GetExecutablePath()).parent_path() / ".." / "Resources";
}

VolumeRecords GetVolumesInfo()
{
    return ParseVolumesInfo(LaunchCommandWithStdout("hdiutil info"));
}

std::string SystemVersion(const std::string& separator)
{
    const std::vector<std::string> version = OsSystemVersion();
    return version[0] + separator + version[1] + separator + version[2];
}

std::string OSVersion()
{
    return OsSystemVersion()[0];
}

unsigned long long GetDiscSpaceAvailableBytes(const fs::path& path)
{
    unsigned long long result = kUnknownFreeSpace;
    @autoreleasepool {
        NSString* text = [NSString stringWithUTF8String:path.string().c_str()];
        NSFileManager* manager = nil;
        NSDictionary* attributes = nil;
        NSError* error = nil;
        if (text == nil) {
            LOG(INFO) << "NSFileManager creation failed for \"" << path.string() << "\"";
        } else if ((manager = [NSFileManager defaultManager]) == nil) {
            LOG(INFO) << "Default NSFileManager acquisition failed for \"" << path.string() << "\"";
        } else if ((attributes = [manager attributesOfFileSystemForPath:text error:&error]) == nil) {
            LOG(INFO) << "NSFileManager evaluating attributesOfFileSystemForPath failed for \""
                      << path.string() << "\"";
        } else {
            id freeSize = [attributes objectForKey:NSFileSystemFreeSize];
            if ([freeSize isKindOfClass:[NSNumber class]]) {
                result = [(NSNumber*)freeSize unsignedLongLongValue];
            }
        }
    }
    LOG(INFO) << "Path \"" << path << "\" has " << result << " bytes available";
    return result;
}

bool isRunningOnRosetta()
{
    int translated = 0;
    size_t size = sizeof(translated);
    return sysctlbyname("sysctl.proc_translated", &translated, &size, nullptr, 0) == 0 &&
           translated != 0;
}

std::string GetSystemUiLocale()
{
    @autoreleasepool {
        NSArray* languages = [NSLocale preferredLanguages];
        if ([languages count] > 0) {
            return NSStringToStdString([languages objectAtIndex:0]);
        }
    }
    return {};
}

fs::path GetApplicationsFolder()
{
    fs::path folder;
    @autoreleasepool {
        NSArray* paths =
            NSSearchPathForDirectoriesInDomains(NSApplicationDirectory, NSLocalDomainMask, YES);
        if ([paths count] > 0) {
            folder = NSStringToStdString([paths objectAtIndex:0]);
        }
    }
    if (folder.empty()) {
        folder = "/Applications";
    }
    boost::system::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        LOG(INFO) << "Unable to create applications folder \"" << folder.string()
                  << "\": " << error.message();
    }
    return folder;
}

} // namespace Zentak::Util
