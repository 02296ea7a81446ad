#include "logic/config/config_parser.h"

#include <fstream>
#include <sstream>

#include <boost/property_tree/ini_parser.hpp>
#include <gtest/gtest.h>

#include "utils/settings.h"

namespace Zentak {
namespace {

using ID = Settings::ID;

// Writes every observer call as one line, so a test compares the whole story.
struct RecordingObserver : IConfigParserObserver {
    std::vector<std::string> calls;
    std::vector<InstallerItem> installers;
    std::vector<ProductParameters> parameters;
    std::vector<StartItem> runInstalled;
    std::vector<StartItem> starts;

    static std::string Join(const std::vector<std::string>& items)
    {
        std::string joined;
        for (const auto& item : items) {
            joined += "[" + item + "]";
        }
        return joined;
    }

    void OnBuildNameParsed(const std::string& value) override { calls.push_back("build " + value); }
    void OnModuleNameParsed(const std::string& value) override { calls.push_back("module " + value); }
    void OnInstallerParsed(InstallerItem&& item) override
    {
        calls.push_back("installer " + item.id);
        installers.push_back(std::move(item));
    }
    void OnProductParametersParsed(ProductParameters&& p) override
    {
        calls.push_back("parameters " + p.id);
        parameters.push_back(std::move(p));
    }
    void OnSplashImageParsed(ISplash::Page page, std::string&& url) override
    {
        calls.push_back("splash " + std::to_string(page) + " " + url);
    }
    void OnRunInstalledParsed(StartItem&& item) override
    {
        calls.push_back("run-installed " + item.id + " " + Join(item.args));
        runInstalled.push_back(std::move(item));
    }
    void OnStartParsed(StartItem&& item) override
    {
        calls.push_back("start " + item.id + " " + Join(item.args));
        starts.push_back(std::move(item));
    }
    void OnAutostartParsed(bool value) override { calls.push_back(value ? "autostart 1" : "autostart 0"); }
    void OnStatisticsParsed(const std::string& url, const std::string& id) override
    {
        calls.push_back("statistics " + url + " " + id);
    }
    void OnConfigReady() override { calls.push_back("ready"); }
    void OnConfigError(const std::string&) override { calls.push_back("error"); }
};

std::string ReadFixture(const std::string& name)
{
    std::ifstream file(std::string(ZENTAK_TEST_DATA_DIR) + "/config/" + name);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class ConfigParserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (ID id : {ID::ProductVersion, ID::BundleName, ID::BundleVersion, ID::TestCrash,
                      ID::Staging, ID::ConfigFile, ID::DebugInfo}) {
            Settings::Unset(id);
        }
    }
};

TEST_F(ConfigParserTest, EverySectionAndKeyOfTheSchema)
{
    Settings::Set(ID::Staging, std::string("7"));
    RecordingObserver observer;
    ConfigParser::ParseText(ReadFixture("full.ini"), observer);

    const std::vector<std::string> expected{
        "build spring-build",
        "module reel-module",
        "installer reelmaker",
        "installer codecs",
        "parameters reelmaker",
        "splash 1 http://127.0.0.1/staging/7/start.png",
        "splash 4 http://127.0.0.1/staging/7/progress---locale--.png",
        "splash 5 http://127.0.0.1/staging/7/wait.png",
        "splash 6 http://127.0.0.1/staging/7/ready.png",
        "statistics http://127.0.0.1/stats key-123",
        // "autostart" is reported at once, the item when its section ends.
        "autostart 1",
        "run-installed reelmaker [--open recent files]",
        "autostart 0",
        "start reelmaker ",
        "ready",
    };
    EXPECT_EQ(observer.calls, expected);

    EXPECT_EQ(Settings::GetString(ID::ProductVersion), "2.4.1");
    // The environment section comes last and wins.
    EXPECT_EQ(Settings::GetString(ID::BundleName), "ReelMakerEnv");
    EXPECT_EQ(Settings::GetString(ID::BundleVersion), "24.2");
    EXPECT_TRUE(Settings::GetBool(ID::TestCrash));

    ASSERT_EQ(observer.installers.size(), 2u);
    const InstallerItem& first = observer.installers[0];
    EXPECT_EQ(first.url, "http://127.0.0.1/packages/x64/reelmaker.tar.gz");
    EXPECT_EQ(first.displayName, "Zentak Reel Maker");
    EXPECT_EQ(first.installOrder, 2);
    EXPECT_EQ(first.installArgs,
              (std::vector<std::string>{"--quiet", "--lang=en", "/DISABLE_SHORTCUTS"}));
    EXPECT_EQ(first.searchInstalled,
              (std::map<std::string, std::string>{{"exe_name", "ReelMaker"},
                                                  {"uninstall_registry_key_name",
                                                   "Reel Maker Registry"}}));
    ASSERT_EQ(first.runInstalled.size(), 2u);
    EXPECT_EQ(first.runInstalled[0].id, "reelmaker");
    EXPECT_EQ(first.runInstalled[0].args,
              (std::vector<std::string>{"--first-run", "--welcome"}));
    EXPECT_EQ(first.runInstalled[1].id, "helper");
    EXPECT_FALSE(first.checkAppRunning);
    EXPECT_TRUE(first.autodetectArch);
    EXPECT_EQ(first.state, InstallerItem::State::Pending);
    EXPECT_EQ(first.lastOutcome, ProcessOutcome::None);

    // A later install_args key drops the flag set before it.
    EXPECT_EQ(observer.installers[1].installArgs, (std::vector<std::string>{"/S"}));
    EXPECT_TRUE(observer.installers[1].checkAppRunning);

    ASSERT_EQ(observer.parameters.size(), 1u);
    EXPECT_EQ(observer.parameters[0].configFileName, "reelmaker.cfg");
    EXPECT_EQ(observer.parameters[0].parameters,
              (std::map<std::string, std::string>{{"bundle_name", "ReelMaker"},
                                                  {"bundle_version", "24.1"},
                                                  {"channel", "web"},
                                                  {"zeta", "last"}}));
}

TEST_F(ConfigParserTest, OddButValidConfigurations)
{
    struct Case {
        const char* text;
        std::vector<std::string> calls;
    } cases[] = {
        {"", {"ready"}},
        {"; only a comment\n\n# another\n", {"ready"}},
        {"[Statistics]\nurl = http://127.0.0.1/s\n", {"statistics http://127.0.0.1/s ", "ready"}},
        {"[Statistics]\nurl=a\nid=b\n[STATISTICS]\nurl=c\nid=d\n",
         {"statistics a b", "statistics c d", "ready"}},
        {"[Start]\nid = a\nargs = one two\n", {"start a [one two]", "ready"}},
        {"[Start]\nargs = early\n", {"ready"}},
        {"[ProductParameters]\nid = x\n", {"ready"}},
        {"[Installer]\ninstall_order = 12abc\n", {"installer ", "ready"}},
        {"[Installer]\nrun_installed_args = before any id\n", {"installer ", "ready"}},
    };
    for (const Case& test : cases) {
        RecordingObserver observer;
        ConfigParser::ParseText(test.text, observer);
        EXPECT_EQ(observer.calls, test.calls) << test.text;
    }
}

TEST_F(ConfigParserTest, SyntaxErrorsThrowAfterEarlierSections)
{
    RecordingObserver observer;
    try {
        ConfigParser::ParseText(ReadFixture("syntax_error.ini"), observer);
        FAIL() << "expected a syntax error";
    } catch (const boost::property_tree::ini_parser::ini_parser_error& error) {
        EXPECT_EQ(error.line(), 7u);
        EXPECT_NE(std::string(error.what()).find("'=' character not found in line"),
                  std::string::npos);
    }
    EXPECT_TRUE(observer.calls.empty());

    RecordingObserver numbers;
    EXPECT_THROW(ConfigParser::ParseText("[Installer]\ninstall_order = first\n", numbers),
                 std::invalid_argument);
}

const char* const kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST_F(ConfigParserTest, IntegrityKeysAreKeptNormalised)
{
    RecordingObserver observer;
    ConfigParser::ParseText(
        "[Installer]\nid = a\nSHA256 = 9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08\n"
        "size = 268435456\nmirrors =  http://m1/a.tgz\thttps://m2/a.tgz \n"
        "[Installer]\nid = b\nurl = http://127.0.0.1/b.tgz\n"
        "[Product]\nconnections = 16\n",
        observer);
    ASSERT_EQ(observer.installers.size(), 2u);
    EXPECT_EQ(observer.installers[0].sha256, kDigest);
    EXPECT_EQ(observer.installers[0].configuredSize, 268435456u);
    EXPECT_EQ(observer.installers[0].mirrors,
              (std::vector<std::string>{"http://m1/a.tgz", "https://m2/a.tgz"}));
    // The product section counts for every package, wherever it stands.
    EXPECT_EQ(observer.installers[0].connections, 16);
    // Without the keys a package is as it always was.
    EXPECT_EQ(observer.installers[1].sha256, "");
    EXPECT_FALSE(observer.installers[1].configuredSize.has_value());
    EXPECT_TRUE(observer.installers[1].mirrors.empty());

    RecordingObserver defaults;
    ConfigParser::ParseText("[Installer]\nid = a\n", defaults);
    EXPECT_EQ(defaults.installers.at(0).connections, 4);
}

// Anything wrong with the integrity keys refuses the whole configuration
// before any of it is reported, wherever the product section stands.
TEST_F(ConfigParserTest, UnusableIntegrityKeysRefuseTheConfiguration)
{
    const std::string good = std::string("sha256 = ") + kDigest + "\n";
    struct Case {
        std::string text;
        std::string error; // empty: accepted
    } cases[] = {
        {"[Statistics]\nurl=u\nid=i\n[Installer]\nid = a\nsha256 = abc\n",
         "Installer a: sha256 must be 64 hexadecimal digits, not \"abc\""},
        {"[Installer]\nid = a\nsha256 = " + std::string(kDigest).substr(1) + "g\n",
         "Installer a: sha256 must be 64 hexadecimal digits, not \"" +
             std::string(kDigest).substr(1) + "g\""},
        {"[Installer]\nid = a\nsha256 =\n",
         "Installer a: sha256 must be 64 hexadecimal digits, not \"\""},
        {"[Installer]\nid = a\nsize = 12 MB\n",
         "Installer a: size must be a decimal number of bytes, not \"12 MB\""},
        {"[Installer]\nid = a\nsize = -1\n",
         "Installer a: size must be a decimal number of bytes, not \"-1\""},
        {"[Installer]\nid = a\nsize = 99999999999999999999\n",
         "Installer a: size must be a decimal number of bytes, not \"99999999999999999999\""},
        {"[Product]\nrequire_sha256 = TRUE\n[Installer]\nid = a\n" + good +
             "[Installer]\nid = b\n",
         "Installer b has no sha256, which require_sha256 asks for"},
        // The product section may come after the packages.
        {"[Installer]\nid = a\n[Product]\nrequire_sha256 = true\n",
         "Installer a has no sha256, which require_sha256 asks for"},
        {"[Product]\nrequire_sha256 = true\n[Installer]\nid = a\n" + good, ""},
        {"[Product]\nrequire_sha256 = false\n[Installer]\nid = a\n", ""},
        {"[Product]\nrequire_sha256 = true\n", ""},
        {"[Product]\nconnections = 0\n",
         "Product: connections must be a whole number from 1 to 16, not \"0\""},
        {"[Installer]\nid = a\n[Product]\nconnections = 17\n",
         "Product: connections must be a whole number from 1 to 16, not \"17\""},
        {"[Product]\nconnections = 4 \n[Product]\nconnections = four\n",
         "Product: connections must be a whole number from 1 to 16, not \"four\""},
        {"[Product]\nconnections = 1\n", ""},
        {"[Installer]\nid = a\nmirrors = http://m/a.tgz file:///tmp/a.tgz\n",
         "Installer a: mirror file:///tmp/a.tgz refused: only http and https URLs are fetched, "
         "not file"},
        {"[Installer]\nid = a\nmirrors =\n", ""},
    };
    for (const Case& test : cases) {
        RecordingObserver observer;
        if (test.error.empty()) {
            EXPECT_NO_THROW(ConfigParser::ParseText(test.text, observer)) << test.text;
            EXPECT_EQ(observer.calls.back(), "ready") << test.text;
            continue;
        }
        try {
            ConfigParser::ParseText(test.text, observer);
            ADD_FAILURE() << "accepted:\n" << test.text;
        } catch (const ConfigurationError& error) {
            EXPECT_EQ(error.what(), test.error);
        }
        EXPECT_TRUE(observer.calls.empty()) << test.text;
    }
}

// A local configuration file that is refused ends like a failed download:
// Start throws, and the controller shows the no-connection dialog.
TEST_F(ConfigParserTest, LocalFileWithUnusableKeysThrowsFromStart)
{
    const std::string path = ::testing::TempDir() + "/require_sha256.ini";
    {
        std::ofstream file(path);
        file << "[Product]\nrequire_sha256 = true\n[Installer]\nid = a\n";
    }
    Settings::Set(ID::ConfigFile, path);
    struct NoTracker : IStatisticsTracker {
        void Initialize(const std::string&, const std::string&) override {}
        void TrackEvent(std::string, const EventParameters&) override {}
    };
    RecordingObserver observer;
    ConfigParser parser(observer, std::make_shared<NoTracker>(), {}, "");
    EXPECT_THROW(parser.Start(), ConfigurationError);
    EXPECT_TRUE(observer.calls.empty());
}

} // namespace
} // namespace Zentak
