#include "utils/platform/system_info.h"
#include "utils/platform/system_info_platform.h"

#import <Foundation/Foundation.h>
#include <fcntl.h>
#include <mach-o/dyld.h>
#include <spawn.h>
#include <sys/sysctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include "utils/posix_compat.h"

extern char** environ;

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

// Runs the program at `path` (a system tool, by its full path so that the
// search path of whoever started us cannot put another in its place) and
// returns what it wrote to its standard output; empty when it does not
// start. The child gets a null input, the pipe as output, our error output
// and no other descriptor of ours.
std::string RunToolWithStdout(const char* path, const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int pipeEnds[2] = {-1, -1};
    {
        std::lock_guard<std::mutex> lock(ForkMutex());
        if (PipeCloseOnExec(pipeEnds) != 0) {
            LOG(INFO) << "Unable to create a pipe for " << path << ": " << std::strerror(errno);
            return {};
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_CLOEXEC_DEFAULT));
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, path, &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawnError != 0) {
        LOG(INFO) << "Unable to start " << path << ": " << std::strerror(spawnError);
        close(pipeEnds[0]);
        return {};
    }
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(pipeEnds[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        output.append(buffer, static_cast<size_t>(count));
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return output;
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
    return ParseVolumesInfo(RunToolWithStdout("/usr/bin/hdiutil", {"info"}));
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
