#include "localization/process_locale.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "external/plist.h"
#include "support/test_environment.h"

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;
using Test::ReadFile;

constexpr const char* kHomeVariables[] = {"HOME", "USERPROFILE", "HOMEDRIVE", "HOMEPATH"};
constexpr const char* kBundleId = "com.zentak.reelmaker24";

// Every file and folder below `root`, relative to it.
std::vector<std::string> TreeOf(const fs::path& root)
{
    std::vector<std::string> entries;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        entries.push_back(it->path().lexically_relative(root).generic_string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Runs each test with a home folder of its own inside a fresh temporary
// folder, and puts the caller's environment back afterwards.
class SetLocaleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : kHomeVariables) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        root_ = fs::temp_directory_path() / fs::unique_path("set-locale-%%%%-%%%%");
        home_ = root_ / "home";
        fs::create_directories(home_);
        setenv("HOME", home_.c_str(), 1);
    }

    void TearDown() override
    {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        boost::system::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path PreferencePath(const fs::path& home, const std::string& bundleId) const
    {
        return home / "Library" / "Preferences" / (bundleId + ".plist");
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    fs::path root_;
    fs::path home_;
};

TEST_F(SetLocaleTest, EmptyArgumentsWriteNothing)
{
    EXPECT_FALSE(SetLocale("", kBundleId));
    EXPECT_FALSE(SetLocale("de-DE", ""));
    EXPECT_FALSE(SetLocale("", ""));
    EXPECT_EQ(TreeOf(root_), std::vector<std::string>{"home"});
}

TEST_F(SetLocaleTest, WritesTheFixedLocaleNameAndReadsItBack)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"pt-BR", "pt_BR"},
        {"de-DE", "de_DE"},
        {"de", "de"},
        {"zh-Hant-TW", "zh_Hant-TW"},
    };
    const fs::path file = PreferencePath(home_, kBundleId);
    for (const auto& [locale, stored] : cases) {
        ASSERT_TRUE(SetLocale(locale, kBundleId)) << locale;
        EXPECT_EQ(OpenPlistDictionary(file)->GetString("locale"), stored) << locale;
        // What the product (and the "defaults" tool) will read.
        const std::string xml = ReadFile(file.string());
        EXPECT_NE(xml.find("<key>locale</key>"), std::string::npos) << xml;
        EXPECT_NE(xml.find("<string>" + stored + "</string>"), std::string::npos) << xml;
    }
    EXPECT_EQ(TreeOf(root_), (std::vector<std::string>{
                                 "home", "home/Library", "home/Library/Preferences",
                                 "home/Library/Preferences/com.zentak.reelmaker24.plist"}));
}

TEST_F(SetLocaleTest, KeepsTheProductsOtherPreferences)
{
    const fs::path file = PreferencePath(home_, kBundleId);
    fs::create_directories(file.parent_path());
    OpenPlistDictionary(file)->SetString("firstRun", "no");

    ASSERT_TRUE(SetLocale("fr-FR", kBundleId));

    const auto preferences = OpenPlistDictionary(file);
    EXPECT_EQ(preferences->GetString("locale"), "fr_FR");
    EXPECT_EQ(preferences->GetString("firstRun"), "no");
}

TEST_F(SetLocaleTest, RefusesBundleIdsThatAreNoPlainFileName)
{
    const std::vector<std::string> hostile = {
        "../evil", "a/b", "..", "x\n", "/etc/evil", "com.zentak..app", "..\\evil",
        std::string("com.zentak\0.app", 15), "com zentak", "com.zentak.app\t", "\x1b[31m",
        "com.zentak.\xC3\xA9",
    };
    for (const std::string& bundleId : hostile) {
        EXPECT_FALSE(SetLocale("de-DE", bundleId)) << ::testing::PrintToString(bundleId);
    }
    // Nothing at all was written, inside the home or beside it.
    EXPECT_EQ(TreeOf(root_), std::vector<std::string>{"home"});
}

TEST_F(SetLocaleTest, RefusesLocalesThatAreNoLanguageTag)
{
    for (const std::string locale : {"{a=b;}", "de DE", "de-DE\n", "<string>x</string>", "\"de\""}) {
        EXPECT_FALSE(SetLocale(locale, kBundleId)) << ::testing::PrintToString(locale);
    }
    EXPECT_EQ(TreeOf(root_), std::vector<std::string>{"home"});
}

TEST_F(SetLocaleTest, HomeComesFromHomeThenUserProfileThenDriveAndPath)
{
    const fs::path profile = root_ / "profile";
    const fs::path drive = root_ / "drive";
    fs::create_directories(profile);
    fs::create_directories(drive / "users" / "me");

    setenv("USERPROFILE", profile.c_str(), 1);
    setenv("HOMEDRIVE", drive.c_str(), 1);
    setenv("HOMEPATH", "/users/me", 1);
    ASSERT_TRUE(SetLocale("es-ES", kBundleId));
    EXPECT_TRUE(fs::exists(PreferencePath(home_, kBundleId)));

    unsetenv("HOME");
    ASSERT_TRUE(SetLocale("it-IT", kBundleId));
    EXPECT_EQ(OpenPlistDictionary(PreferencePath(profile, kBundleId))->GetString("locale"),
              "it_IT");

    unsetenv("USERPROFILE");
    ASSERT_TRUE(SetLocale("ja-JP", kBundleId));
    EXPECT_EQ(
        OpenPlistDictionary(PreferencePath(drive / "users" / "me", kBundleId))->GetString("locale"),
        "ja_JP");

    // The earlier files stay as they were.
    EXPECT_EQ(OpenPlistDictionary(PreferencePath(home_, kBundleId))->GetString("locale"), "es_ES");
}

TEST_F(SetLocaleTest, UnwritablePreferencesGiveFalse)
{
    // A file where the folder should be: neither creating nor writing can work.
    fs::create_directories(home_ / "Library");
    std::ofstream(fs::path(home_ / "Library" / "Preferences").string()) << "not a folder";

    EXPECT_FALSE(SetLocale("de-DE", kBundleId));
    EXPECT_EQ(ReadFile((home_ / "Library" / "Preferences").string()), "not a folder");
}

} // namespace
} // namespace Zentak::Util
