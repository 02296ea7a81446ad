// Configurations that must come with a detached signature: fetched beside
// the configuration or read beside the local file, and checked before any of
// the configuration is used.
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logic/config/config_parser.h"
#include "support/test_environment.h"
#include "support/test_server.h"
#include "utils/settings.h"

namespace Zentak::Test {
namespace {

using ID = Settings::ID;

std::string Fixture(const std::string& name)
{
    return ReadFile(std::filesystem::path(ZENTAK_TEST_DATA_DIR) / "signing" / name);
}


struct Recorder : IConfigParserObserver, IStatisticsTracker {
    std::vector<std::string> calls;
    std::vector<std::string> events;

    void OnBuildNameParsed(const std::string&) override {}
    void OnModuleNameParsed(const std::string&) override {}
    void OnInstallerParsed(InstallerItem&& item) override { calls.push_back("installer " + item.id); }
    void OnProductParametersParsed(ProductParameters&&) override {}
    void OnSplashImageParsed(ISplash::Page, std::string&&) override {}
    void OnRunInstalledParsed(StartItem&&) override {}
    void OnStartParsed(StartItem&&) override {}
    void OnAutostartParsed(bool) override {}
    void OnStatisticsParsed(const std::string&, const std::string&) override {}
    void OnConfigReady() override { calls.push_back("ready"); }
    void OnConfigError(const std::string&) override { calls.push_back("error"); }

    void Initialize(const std::string&, const std::string&) override {}
    void TrackEvent(std::string name, const EventParameters& params) override
    {
        for (const auto& [key, value] : params) {
            name += " " + key + "=" + value;
        }
        events.push_back(name);
    }
};

class SignedConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearProxyEnvironment();
        FixTimeZone();
        for (ID id : {ID::ConfigFile, ID::ConfigUrl, ID::Staging, ID::DebugInfo}) {
            Settings::Unset(id);
        }
        // The parser leaves a copy of a downloaded configuration in the run
        // directory, which is made once per process under TMPDIR.
        static TemporaryDirectory runDirectories;
        setenv("TMPDIR", runDirectories.Path().c_str(), 1);
    }
    void TearDown() override
    {
        for (ID id : {ID::ConfigFile, ID::ConfigUrl}) {
            Settings::Unset(id);
        }
    }

    // Runs a parser with `key` until it reported the end; the calls and the
    // events are in `recorder`.
    void Run(const std::string& key, Recorder& recorder)
    {
        auto tracker = std::shared_ptr<IStatisticsTracker>(&recorder, [](IStatisticsTracker*) {});
        ConfigParser parser(recorder, tracker, {}, key);
        parser.Start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (recorder.calls.empty() || (recorder.calls.back() != "ready" &&
                                          recorder.calls.back() != "error")) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the parser never ended";
            parser.DoMainThreadWork();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    TemporaryDirectory m_directory;
};

TEST_F(SignedConfigTest, DownloadedConfigurationNeedsItsSignature)
{
    // config.ini.sig is the signing tool's signature of config.ini with the
    // tests' private key (see the README beside them).
    const std::string config = Fixture("config.ini");
    const std::string key = Fixture("test_public.pem");
    const std::string signature = Fixture("config.ini.sig");
    struct Case {
        const char* what;
        std::string key;
        std::string config;
        Reply signature;
        std::string failure; // the CURL_ERROR text after the signature's URL; empty: parsed
    } cases[] = {
        {"good signature", key, config, Reply::Body(signature), ""},
        {"configuration changed after signing", key,
         config + "[Installer]\nid = b\n", Reply::Body(signature),
         " rejected: the signature does not match the configuration"},
        {"signature missing", key, config, Reply::Status(404),
         " not available: curl_multi_perform failed: http response code = 404"},
        {"signature of another key", Fixture("other_public.pem"), config, Reply::Body(signature),
         " rejected: the signature does not match the configuration"},
        {"not a signature", key, config, Reply::Body("<html>Not here</html>"),
         " rejected: the signature is not the base64 form of an Ed25519 signature"},
    };
    for (Case& test : cases) {
        SCOPED_TRACE(test.what);
        TestServer server;
        server.Expect("GET", "/rm/config.ini", Reply::Body(test.config), Times::AtLeast(0));
        server.Expect("GET", "/rm/config.ini.sig", std::move(test.signature), Times::Exactly(1));
        Settings::Set(ID::ConfigUrl, server.Url("/rm/config.ini?v=2"));
        // A parsed download leaves ConfigFile naming its copy.
        Settings::Unset(ID::ConfigFile);
        Recorder recorder;
        Run(test.key, recorder);
        const std::string signatureUrl = server.Url("/rm/config.ini.sig?v=2");
        if (test.failure.empty()) {
            EXPECT_EQ(recorder.calls, (std::vector<std::string>{"installer a", "ready"}));
            EXPECT_EQ(recorder.events, (std::vector<std::string>{"CONFIG_DOWNLOAD_STARTED",
                                                                 "CONFIG_DOWNLOAD_COMPLETED"}));
        } else {
            EXPECT_EQ(recorder.calls, std::vector<std::string>{"error"});
            EXPECT_EQ(recorder.events,
                      (std::vector<std::string>{"CONFIG_DOWNLOAD_STARTED",
                                                "CONFIG_DOWNLOAD_FAILED CURL_ERROR=configuration "
                                                "signature " + signatureUrl + test.failure}));
        }
    }
}

// Without a key nothing changes: no signature is asked for (the server
// would fail the test on such a request) and the configuration is parsed.
TEST_F(SignedConfigTest, WithoutAKeyNoSignatureIsFetched)
{
    const std::string config = Fixture("config.ini");
    TestServer server;
    server.Expect("GET", "/rm/config.ini", Reply::Body(config), Times::Exactly(1));
    Settings::Set(ID::ConfigUrl, server.Url("/rm/config.ini"));
    Recorder recorder;
    Run("", recorder);
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"installer a", "ready"}));
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"CONFIG_DOWNLOAD_STARTED", "CONFIG_DOWNLOAD_COMPLETED"}));
}

TEST_F(SignedConfigTest, LocalFileNeedsTheSignatureBesideIt)
{
    const std::string config = Fixture("config.ini");
    const std::string key = Fixture("test_public.pem");
    const std::string path = (m_directory / "config.ini").string();
    struct Case {
        const char* what;
        std::string config;
        std::string signature; // "-": no signature file
        std::string failure;
    } cases[] = {
        {"good signature", config, Fixture("config.ini.sig"), ""},
        {"configuration changed", config + ";\n", Fixture("config.ini.sig"),
         ".sig rejected: the signature does not match the configuration"},
        {"no signature file", config, "-", ".sig not available: it cannot be opened"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << test.config;
        std::filesystem::remove(path + ".sig");
        if (test.signature != "-") {
            std::ofstream(path + ".sig", std::ios::binary) << test.signature;
        }
        Settings::Set(ID::ConfigFile, path);
        Recorder recorder;
        Run(key, recorder);
        if (test.failure.empty()) {
            EXPECT_EQ(recorder.calls, (std::vector<std::string>{"installer a", "ready"}));
            EXPECT_TRUE(recorder.events.empty());
        } else {
            EXPECT_EQ(recorder.calls, std::vector<std::string>{"error"});
            EXPECT_EQ(recorder.events,
                      std::vector<std::string>{"CONFIG_DOWNLOAD_FAILED CURL_ERROR=configuration "
                                               "signature " + path + test.failure});
        }
    }
}

} // namespace
} // namespace Zentak::Test
