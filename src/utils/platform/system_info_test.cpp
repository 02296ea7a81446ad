// What every platform's system queries share: the disk-image report parser,
// the distribution name and its browser tag, version padding, the bundle's
// paths, the EULA, free space and the command runner. What only the Linux
// queries do is in system_info_linux_test.cpp.
#include "utils/platform/system_info.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <optional>
#include <regex>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "support/test_environment.h"
#include "utils/string_utils.h"

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;
using Zentak::Test::ReadFile;
using Zentak::Test::ScopedEnvironment;
using Record = std::map<std::string, std::string>;

std::string ReadFixture(const std::string& name)
{
    const std::string text = ReadFile(std::string(ZENTAK_TEST_DATA_DIR) + "/volumes/" + name);
    EXPECT_FALSE(text.empty()) << name;
    return text;
}

TEST(VolumesInfoTest, InstallerImageReport)
{
    const VolumeRecords records = ParseVolumesInfo(ReadFixture("hdiutil_installer.txt"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records.front(), (Record{{"framework", "671"}, {"driver", "10.15v671"}}));
    const Record& image = records.back();
    EXPECT_EQ(image.at("image-path"),
              "/Users/anna/Downloads/Zentak Reel Maker Installer SetupE.dmg");
    EXPECT_EQ(image.at("mount-point"), "/Volumes/Zentak Reel Maker Installer");
    EXPECT_EQ(image.at("mounting user"), "anna");
    EXPECT_EQ(image.at("process ID"), "8412");
    EXPECT_EQ(image.size(), 16u);

    const std::string name = DistribNameFromVolumes(records);
    EXPECT_EQ(name, "Zentak Reel Maker Installer SetupE");
    const PreferredBrowserInfo browser = BrowserFromDistribName(name);
    EXPECT_EQ(browser.name, "Microsoft Edge");
    EXPECT_EQ(browser.tag, "SetupE");
}

TEST(VolumesInfoTest, SeveralImages)
{
    const VolumeRecords records = ParseVolumesInfo(ReadFixture("hdiutil_several.txt"));
    ASSERT_EQ(records.size(), 5u);
    auto it = records.begin();
    EXPECT_EQ(it->size(), 2u);
    ++it;
    EXPECT_EQ(it->at("mount-point"), "/Volumes/Other Tool");
    ++it;
    // A repeated key keeps its first value; "/dev/" inside an image path
    // does not make it a device line.
    EXPECT_EQ(it->at("image-path"),
              "/Users/anna/dev/Zentak Reel Maker Installer SetupS_STG7_W123_.dmg");
    EXPECT_EQ(it->at("mount-point"), "/Volumes/Zentak Reel Maker Installer");
    ++it;
    // Device lines without a mount point add nothing.
    EXPECT_EQ(*it, (Record{{"image-path", "/Users/anna/Downloads/Unmounted.dmg"},
                           {"image-type", "read-only disk image"}}));
    ++it;
    // The last block has no closing line and is kept all the same.
    EXPECT_EQ(it->at("mount-point"), "/Volumes/Zentak Reel Maker Installer 1");

    EXPECT_EQ(DistribNameFromVolumes(records), "Zentak Reel Maker Installer SetupS_STG7_W123_");
}

TEST(VolumesInfoTest, LineRules)
{
    const struct {
        const char* report;
        VolumeRecords expected;
    } cases[] = {
        {"", {}},
        {"\n", {Record{}}},
        {"a : 1\n\n\nb:2", {Record{{"a", "1"}}, Record{}, Record{{"b", "2"}}}},
        // An empty key ends the record, like a line without a colon.
        {"a:1\n : x\nb:2\n", {Record{{"a", "1"}}, Record{{"b", "2"}}}},
        {"a:1\n=====\n", {Record{{"a", "1"}}}},
        {"key:a:b\n", {Record{{"key", "a:b"}}}},
        {"k:\n", {Record{{"k", ""}}}},
        // Mount point from the first "/Volumes/" to the end of the line.
        {"/dev/disk2s1\tApple_HFS\t/Volumes/A /Volumes/B\n",
         {Record{{"mount-point", "/Volumes/A /Volumes/B"}}}},
        {"/dev/disk2s1\tApple_HFS\t/Volumes/A\n/dev/disk2s2\tApple_HFS\t/Volumes/B\n",
         {Record{{"mount-point", "/Volumes/A"}}}},
        {"/dev/disk2\tGUID_partition_scheme\n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        EXPECT_EQ(ParseVolumesInfo(c.report), c.expected);
    }
}

TEST(VolumesInfoTest, DistribNameFromRecords)
{
    const std::string mount = "/Volumes/Zentak Reel Maker Installer";
    const struct {
        VolumeRecords records;
        const char* expected;
    } cases[] = {
        {{}, ""},
        {{Record{{"image-path", "/a/Setup.dmg"}, {"mount-point", mount}}}, "Setup"},
        {{Record{{"image-path", "/a.b/Setup"}, {"mount-point", mount}}}, "Setup"},
        {{Record{{"image-path", "Setup.x.dmg"}, {"mount-point", mount}}}, "Setup.x"},
        {{Record{{"image-path", "/a/.dmg"}, {"mount-point", mount}}}, ""},
        {{Record{{"mount-point", mount}}}, ""},
        {{Record{{"image-path", "/a/Setup.dmg"}, {"mount-point", mount + " 1"}}}, ""},
        {{Record{{"image-path", "/a/Setup.dmg"}}}, ""},
        {{Record{{"image-path", "/a/First.dmg"}, {"mount-point", mount}},
          Record{{"image-path", "/a/Second.dmg"}, {"mount-point", mount}}},
         "First"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(DistribNameFromVolumes(c.records), c.expected);
    }
}

TEST(BrowserTest, FirstTagInTableOrderWins)
{
    const struct {
        const char* name;
        const char* browser;
        const char* tag;
    } cases[] = {
        {"Installer SetupC", "Google Chrome", "SetupC"},
        {"Installer SetupE", "Microsoft Edge", "SetupE"},
        {"Installer SetupF", "firefox", "SetupF"},
        {"Installer SetupO", "Opera", "SetupO"},
        {"Installer SetupS", "Safari", "SetupS"},
        {"Installer SetupY_STG3_", "Yandex", "SetupY"},
        {"Installer SetupS SetupC", "Google Chrome", "SetupC"},
        {"Installer SetupY SetupO", "Opera", "SetupO"},
        {"Installer setupc", "", ""},
        {"Installer SetupX", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PreferredBrowserInfo info = BrowserFromDistribName(c.name);
        EXPECT_EQ(info.name, c.browser);
        EXPECT_EQ(info.tag, c.tag);
    }
}

TEST(SystemVersionTest, PaddedToThreeComponents)
{
    using Parts = std::vector<std::string>;
    const std::pair<const char*, Parts> cases[] = {
        {"12", {"12", "0", "0"}},
        {"11.2", {"11", "2", "0"}},
        {"10.15.7", {"10", "15", "7"}},
        {"10.15.7.1", {"10", "15", "7"}},
        {"", {"0", "0", "0"}},
    };
    for (const auto& [version, expected] : cases) {
        SCOPED_TRACE(version);
        EXPECT_EQ(SystemVersionComponents(version), expected);
    }
}

TEST(SystemVersionTest, ThisSystem)
{
    const std::string version = SystemVersion("-");
    EXPECT_TRUE(std::regex_match(version, std::regex("[^-]+-[^-]+-[^-]+"))) << version;
    EXPECT_EQ(version.substr(0, version.find('-')), OSVersion());
    EXPECT_EQ(SystemVersion("."), ReplaceAll(version, "-", "."));
}

TEST(SystemInfoTest, FixedNames)
{
    EXPECT_EQ(SystemName(), "mac");
    EXPECT_EQ(OSName(), "Mac");
    EXPECT_EQ(OSBits(), "64");
    EXPECT_EQ(OSEdition(), "");
    EXPECT_FALSE(isRunningOnRosetta());
}

TEST(SystemInfoTest, MutexNeverHoldsBack)
{
    auto first = CreateMutexInstance("ZentakWebInstaller");
    auto second = CreateMutexInstance("ZentakWebInstaller");
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->Lock());
    EXPECT_TRUE(second->Lock());
    EXPECT_TRUE(second->TryLock(0));
    first->Unlock();
    second->Unlock();
}

TEST(SystemInfoTest, ExecutablePath)
{
    const fs::path executable = GetExecutablePath();
    EXPECT_EQ(executable.filename(), "utils_system_test");
    EXPECT_TRUE(fs::exists(executable));
    EXPECT_TRUE(executable.is_absolute()) << executable;
}

TEST(SystemInfoTest, ReadEula)
{
    const fs::path resources = GetResourcesPath();
    fs::create_directories(resources);
    const std::string locale = "zz-TEST" + std::to_string(::getpid());
    const fs::path file = resources / (locale + ".txt");
    const fs::path unnamed = resources / ".txt";
    // Bytes come back unchanged: CRLF, a NUL byte, UTF-8.
    const std::string text = std::string("Licence\r\nLizenz \xc3\xa4\0end\n", 21);
    {
        std::ofstream(file.string(), std::ios::binary) << text;
        std::ofstream(unnamed.string(), std::ios::binary) << "unnamed";
    }
    EXPECT_EQ(ReadEula(locale), text);
    // An empty locale looks for ".txt"; there is no fallback to another one.
    EXPECT_EQ(ReadEula(""), "unnamed");
    EXPECT_EQ(ReadEula(locale + "-missing"), "");
    fs::remove(file);
    fs::remove(unnamed);
    EXPECT_EQ(ReadEula(locale), "");
}

TEST(SystemInfoTest, FreeSpace)
{
    // A fake left by a test run must not stand in for the real figure.
    ScopedEnvironment noFake("ZENTAK_TEST_FREE_SPACE", std::nullopt);
    const unsigned long long unknown = ~0ULL;
    EXPECT_NE(GetDiscSpaceAvailableBytes("/"), unknown);
    EXPECT_EQ(GetDiscSpaceAvailableBytes("/no/such/folder/anywhere"), unknown);
}

TEST(LaunchCommandTest, ReadsAllOutputAndReapsTheChild)
{
    const struct {
        const char* command;
        std::string expected;
    } cases[] = {
        {"printf 'one\\ntwo\\n'", "one\ntwo\n"},
        {"printf 'a\\000b'", std::string("a\0b", 3)},
        {"head -c 100000 /dev/zero | tr '\\000' x", std::string(100000, 'x')},
        {"printf partial; exit 3", "partial"},
        {"true", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        EXPECT_EQ(LaunchCommandWithStdout(c.command), c.expected);
        // pclose waited for the shell: nothing is left to reap.
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }
}

} // namespace
} // namespace Zentak::Util
