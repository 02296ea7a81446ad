// What the Linux system queries read: loop devices and mounts standing in
// for "hdiutil info", /etc/os-release, the free-space test seam, the locale
// variables, $HOME/Applications and the bundle layout found from /proc.
#include "utils/platform/system_info.h"
#include "utils/platform/system_info_linux.h"

#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "support/test_environment.h"

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;
using Zentak::Test::ReadFile;
using Zentak::Test::ScopedEnvironment;
using Zentak::Test::TemporaryDirectory;

const std::string kVolumesDir = std::string(ZENTAK_TEST_DATA_DIR) + "/volumes/";

std::string ReadFixture(const std::string& name)
{
    const std::string text = ReadFile(kVolumesDir + name);
    EXPECT_FALSE(text.empty()) << name;
    return text;
}

std::optional<std::string> Maybe(const char* value)
{
    return value ? std::optional<std::string>(value) : std::nullopt;
}

TEST(LoopVolumesTest, ReportFromLoopDevicesAndMounts)
{
    const std::string report =
        LoopVolumesReport(kVolumesDir + "sysblock", ReadFixture("mountinfo.txt"));
    EXPECT_EQ(report,
              "driver          : loop\n"
              "================================================\n"
              "image-path      : /home/anna/Downloads/Zentak Reel Maker Installer SetupF.dmg\n"
              "/dev/loop0\t\t/Volumes/Zentak Reel Maker Installer\n"
              "/dev/loop0\t\t/mnt/second\n"
              "================================================\n"
              "image-path      : /srv/images/disk image.img\n"
              "/dev/loop2\n"
              "/dev/loop2p1\t\t/mnt/part one\n"
              "================================================\n"
              "image-path      : /srv/images/plain\n"
              "/dev/loop3\n");

    const VolumeRecords records = ParseVolumesInfo(report);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(DistribNameFromVolumes(records), "Zentak Reel Maker Installer SetupF");
    EXPECT_EQ(BrowserFromDistribName(DistribNameFromVolumes(records)).name, "firefox");
}

TEST(LoopVolumesTest, NoLoopDevices)
{
    EXPECT_EQ(LoopVolumesReport(kVolumesDir + "missing", ""), "driver          : loop\n");
    EXPECT_EQ(DistribNameFromVolumes(ParseVolumesInfo(LoopVolumesReport(kVolumesDir + "missing", ""))),
              "");
}

TEST(SystemVersionTest, VersionIdFromOsRelease)
{
    const std::pair<const char*, const char*> cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n", "12"},
        {"VERSION_ID=22.04\n", "22.04"},
        {"VERSION_ID='3.19.1'\n", "3.19.1"},
        {"NAME=Arch\nBUILD_ID=rolling\n", ""},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(OsReleaseVersionId(text), expected);
    }
}

TEST(SystemInfoTest, ResourcesBesideTheProgramsFolder)
{
    // MacOS/installer -> Resources beside MacOS, without ".." left in it.
    const fs::path executable = GetExecutablePath();
    EXPECT_EQ(GetResourcesPath(), executable.parent_path().parent_path() / "Resources");
}

TEST(SystemInfoTest, FreeSpaceFakedByTheTestSeam)
{
    const unsigned long long unknown = ~0ULL;
    const std::pair<const char*, unsigned long long> cases[] = {
        {"12345", 12345ULL},
        {"0", 0ULL},
        {"18446744073709551614", 18446744073709551614ULL},
        // Anything but a plain decimal number is ignored.
        {"-1", unknown},
        {"12abc", unknown},
        {"abc", unknown},
        {"99999999999999999999999", unknown},
        {" 5", unknown},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        ScopedEnvironment fake("ZENTAK_TEST_FREE_SPACE", value);
        EXPECT_EQ(GetDiscSpaceAvailableBytes("/no/such/folder/anywhere"), expected);
    }
}

TEST(SystemInfoTest, UiLocaleFromEnvironment)
{
    const struct {
        const char* language;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        const char* expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, "fr_FR.UTF-8", "fr-FR"},
        {"de_DE:en_US", "it_IT.UTF-8", nullptr, "fr_FR.UTF-8", "de-DE"},
        {"", "it_IT.UTF-8", "es_ES", "fr_FR", "it-IT"},
        {nullptr, nullptr, "es_ES.ISO-8859-1@euro", "fr_FR", "es-ES"},
        {nullptr, "C", "POSIX", "pt_BR.UTF-8", "pt-BR"},
        {nullptr, "C.UTF-8", nullptr, "ja_JP.eucJP", "ja-JP"},
        {nullptr, nullptr, nullptr, "ca_ES@valencia", "ca-ES"},
        {nullptr, nullptr, nullptr, "en", "en"},
        {nullptr, "C", nullptr, nullptr, ""},
        {nullptr, nullptr, nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        ScopedEnvironment language("LANGUAGE", Maybe(c.language));
        ScopedEnvironment lcAll("LC_ALL", Maybe(c.lcAll));
        ScopedEnvironment lcMessages("LC_MESSAGES", Maybe(c.lcMessages));
        ScopedEnvironment lang("LANG", Maybe(c.lang));
        EXPECT_EQ(GetSystemUiLocale(), c.expected);
    }
}

TEST(SystemInfoTest, ApplicationsFolderIsCreatedInHome)
{
    const TemporaryDirectory temporary;
    const fs::path home = temporary.Path().string();
    {
        ScopedEnvironment homeVariable("HOME", home.string());
        EXPECT_EQ(GetApplicationsFolder(), home / "Applications");
        EXPECT_TRUE(fs::is_directory(home / "Applications"));
        EXPECT_EQ(GetApplicationsFolder(), home / "Applications");
    }

    // A home where nothing can be made (below a plain file) still yields the path.
    const fs::path blocker = home / "file";
    std::ofstream(blocker.string()) << "not a folder";
    ScopedEnvironment homeVariable("HOME", (blocker / "home").string());
    EXPECT_EQ(GetApplicationsFolder(), blocker / "home" / "Applications");
    EXPECT_FALSE(fs::exists(blocker / "home"));
}

} // namespace
} // namespace Zentak::Util
