#include "utils/settings.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace Zentak {
namespace {

using ID = Settings::ID;

void ParseCommandLine(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "installer");
    Settings::Initialize(static_cast<int>(arguments.size()), arguments.data());
}

struct RecordingObserver : ISettingsObserver {
    std::vector<std::pair<ID, std::any>> calls;
    void OnSettingsChanged(ID id, const std::any& value) override { calls.emplace_back(id, value); }
};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (ID id : {ID::ConfigFile, ID::ConfigUrl, ID::Debug, ID::DebugInfo, ID::LogPath,
                      ID::AssumeContentLengthUnavailable, ID::BuildName, ID::ModuleName,
                      ID::DistribName, ID::Unattended, ID::Locale, ID::SitemarkId, ID::Staging}) {
            Settings::Unset(id);
        }
    }
};

TEST_F(SettingsTest, CommandLineTable)
{
    ParseCommandLine({"--config-url=https://h/x?a=b=c", "--debug", "--debug-info=", "--Debug",
                      "-debug", "debug", "", "--config-file=one.ini", "--config-file=two.ini",
                      "--log-path=/tmp/logs", "--assume-content-length-unavailable",
                      "--build-name=b", "--module-name=m", "--distrib-name=Setup_STG7_W123_",
                      "--unattended", "-psn_0_12345"});

    EXPECT_EQ(Settings::GetString(ID::ConfigUrl), "https://h/x?a=b=c");
    EXPECT_TRUE(std::any_cast<bool>(Settings::Get(ID::Debug)));
    // A flag written with a bare "=" stores the empty text, not a boolean.
    EXPECT_EQ(std::any_cast<std::string>(Settings::Get(ID::DebugInfo)), "");
    EXPECT_EQ(Settings::GetString(ID::ConfigFile), "two.ini");
    EXPECT_EQ(Settings::GetString(ID::LogPath), "/tmp/logs");
    EXPECT_TRUE(std::any_cast<bool>(Settings::Get(ID::AssumeContentLengthUnavailable)));
    EXPECT_EQ(Settings::GetString(ID::BuildName), "b");
    EXPECT_EQ(Settings::GetString(ID::ModuleName), "m");
    EXPECT_EQ(Settings::GetString(ID::DistribName), "Setup_STG7_W123_");
    EXPECT_TRUE(Settings::GetBool(ID::Unattended));
    // Tags come from the distribution name given on the command line.
    EXPECT_EQ(Settings::GetString(ID::Staging), "7");
    EXPECT_EQ(Settings::GetString(ID::SitemarkId), "123");
    EXPECT_EQ(Settings::GetString(ID::ProductId), "reelmaker");
    EXPECT_EQ(Settings::GetString(ID::ProductDisplayName), "Zentak Reel Maker");
}

// What the command line says back: help and version asked for, a word on
// options that look like ours but are not, and an error for a missing value.
TEST_F(SettingsTest, CommandLineReport)
{
    struct Case {
        std::vector<const char*> arguments;
        bool help;
        bool version;
        std::vector<std::string> warnings;
        std::vector<std::string> errors;
    } cases[] = {
        {{"--help"}, true, false, {}, {}},
        {{"--unattended", "--version"}, false, true, {}, {}},
        {{"--config-ulr=http://x/"}, false, false,
         {"ignoring unknown option --config-ulr (did you mean --config-url?)"}, {}},
        {{"--unatended"}, false, false,
         {"ignoring unknown option --unatended (did you mean --unattended?)"}, {}},
        {{"--verbose-everything"}, false, false, {"ignoring unknown option --verbose-everything"}, {}},
        // The system's own arguments and stray words pass without a word.
        {{"-psn_0_12345", "debug", "--", "-"}, false, false, {}, {}},
        {{"--config-file"}, false, false, {}, {"option --config-file needs a value: --config-file=<path>"}},
        // An empty value is a value.
        {{"--distrib-name=", "--debug=maybe"}, false, false, {}, {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.arguments));
        std::vector<const char*> arguments = test.arguments;
        arguments.insert(arguments.begin(), "installer");
        const Settings::CommandLine report =
            Settings::Initialize(static_cast<int>(arguments.size()), arguments.data());
        EXPECT_EQ(report.help, test.help);
        EXPECT_EQ(report.version, test.version);
        EXPECT_EQ(report.warnings, test.warnings);
        EXPECT_EQ(report.errors, test.errors);
    }
    const std::string help = Settings::OptionsHelp();
    for (const char* option : {"--config-url=<url>", "--unattended", "--package-dir=<folder>", "--help"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option << "\n" << help;
    }
}

TEST_F(SettingsTest, DefaultsWithoutOptions)
{
    ParseCommandLine({"--distrib-name=Zentak Reel Maker Installer SetupE"});
    EXPECT_FALSE(Settings::Has(ID::Debug));
    EXPECT_EQ(Settings::GetString(ID::Staging), "");
    EXPECT_EQ(Settings::GetString(ID::SitemarkId), "");
    const std::string url = Settings::GetString(ID::ConfigUrl);
    EXPECT_NE(url.find("/resources/webinstaller/release/rm/rm_mac_x64/resources/config.ini"),
              std::string::npos);
    EXPECT_EQ(url.rfind("https://", 0), 0u);
    EXPECT_EQ(Settings::GetString(ID::HardwareId).size(), 36u);
}

TEST_F(SettingsTest, AbsentKeysAndWrongTypes)
{
    EXPECT_FALSE(Settings::Get(ID::Locale).has_value());
    EXPECT_EQ(Settings::CurrentLocale(), "");
    Settings::Set(ID::ConfigFile, true);
    EXPECT_EQ(Settings::GetString(ID::ConfigFile, "fallback"), "fallback");
    EXPECT_THROW(std::any_cast<std::string>(Settings::Get(ID::ConfigFile)), std::bad_any_cast);
}

TEST_F(SettingsTest, ObserversAreToldInRegistrationOrderOnce)
{
    RecordingObserver first;
    RecordingObserver second;
    std::vector<const RecordingObserver*> order;
    struct OrderObserver : ISettingsObserver {
        std::vector<const RecordingObserver*>& order;
        const RecordingObserver* tag;
        OrderObserver(std::vector<const RecordingObserver*>& o, const RecordingObserver* t)
            : order(o), tag(t) {}
        void OnSettingsChanged(ID, const std::any&) override { order.push_back(tag); }
    } orderFirst(order, &first), orderSecond(order, &second);

    Settings::RegisterObserver(&first);
    Settings::RegisterObserver(&first); // not added twice
    Settings::RegisterObserver(&orderFirst);
    Settings::RegisterObserver(&orderSecond);
    Settings::RegisterObserver(nullptr);

    Settings::Set(ID::Locale, std::string("de-DE"));
    ASSERT_EQ(first.calls.size(), 1u);
    EXPECT_EQ(first.calls[0].first, ID::Locale);
    EXPECT_EQ(std::any_cast<std::string>(first.calls[0].second), "de-DE");
    EXPECT_EQ(order, (std::vector<const RecordingObserver*>{&first, &second}));

    Settings::Unset(ID::Locale);
    ASSERT_EQ(first.calls.size(), 2u);
    EXPECT_FALSE(first.calls[1].second.has_value());

    // One registration, unregistered once: gone.
    Settings::UnregisterObserver(&first);
    Settings::UnregisterObserver(&orderFirst);
    Settings::UnregisterObserver(&orderSecond);
    Settings::UnregisterObserver(&second); // never registered: ignored
    Settings::Set(ID::Locale, std::string("fr-FR"));
    EXPECT_EQ(first.calls.size(), 2u);
}

TEST_F(SettingsTest, ObserverMayUnregisterDuringNotification)
{
    struct SelfRemoving : ISettingsObserver {
        int calls = 0;
        void OnSettingsChanged(ID, const std::any&) override
        {
            ++calls;
            Settings::UnregisterObserver(this);
        }
    } observer;
    RecordingObserver after;
    Settings::RegisterObserver(&observer);
    Settings::RegisterObserver(&after);
    Settings::Set(ID::BuildName, std::string("x"));
    Settings::Set(ID::BuildName, std::string("y"));
    EXPECT_EQ(observer.calls, 1);
    EXPECT_EQ(after.calls.size(), 2u);
    Settings::UnregisterObserver(&after);
}

// Run under ThreadSanitizer as well (label "threads").
TEST_F(SettingsTest, ConcurrentSetGetAndNotification)
{
    struct Counting : ISettingsObserver {
        std::atomic<int> calls{0};
        void OnSettingsChanged(ID, const std::any&) override { ++calls; }
    } observer;
    Settings::RegisterObserver(&observer);
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRounds; ++i) {
                Settings::Set(ID::BuildName, std::string("build-") + std::to_string(t));
                const std::string value = Settings::GetString(ID::BuildName);
                EXPECT_EQ(value.rfind("build-", 0), 0u);
                Settings::Set(ID::Locale, std::string("en-US"));
                EXPECT_EQ(Settings::CurrentLocale(), "en-US");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Settings::UnregisterObserver(&observer);
    EXPECT_EQ(observer.calls.load(), kThreads * kRounds * 2);
}

} // namespace
} // namespace Zentak
