// The built program, run unattended against loopback servers, with the
// opt-in additions: packages checked against their SHA-256, broken downloads
// continued with a range, packages taken from --package-dir, a proxy that
// asks for credentials, and configurations that must be signed.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/dev_server.h"
#include "harness/event_checks.h"
#include "harness/installer_run.h"
#include "harness/process.h"
#include "harness/temp_dir.h"
#include "support/test_digest.h"
#include "support/test_proxy.h"
#include "support/test_server.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;
using Test::Reply;
using Test::TestServer;
using Test::Times;

using Test::Sha256Hex;

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// One installer section of a configuration.
struct Package {
    std::string id;
    std::string url;
    std::string keys; // extra lines, e.g. "sha256 = ...\n"
};

// The example product (two packages, the statistics collector of the
// development server) under a run's HOME and TMPDIR.
class InstallerIntegrityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MakeExampleContent(m_temp.Path() / "content");
        m_server = std::make_unique<DevServer>(m_temp.Path() / "content", m_temp.Path() / "state");
    }

    DevServer& Server() { return *m_server; }
    fs::path PackageFile(const std::string& id) const
    {
        return m_server->ContentDir() / "packages" / (id + ".tar.gz");
    }
    std::string PackageBytes(const std::string& id) const { return ReadFile(PackageFile(id)); }
    std::string PackageUrl(const std::string& id) const
    {
        return m_server->Url("/content/packages/" + id + ".tar.gz");
    }
    // "sha256 = <its digest>\nsize = <its size>\n"
    std::string Checked(const std::string& id) const
    {
        const std::string bytes = PackageBytes(id);
        return "sha256 = " + Sha256Hex(bytes) + "\nsize = " + std::to_string(bytes.size()) + "\n";
    }

    // Writes the configuration into the content folder; returns its URL.
    std::string Publish(const std::vector<Package>& packages, const std::string& productKeys = {},
                        const std::string& name = "verified.ini")
    {
        std::ofstream(m_server->ContentDir() / name, std::ios::binary | std::ios::trunc)
            << ConfigText(packages, productKeys);
        return m_server->Url("/content/" + name);
    }

    std::string ConfigText(const std::vector<Package>& packages,
                           const std::string& productKeys) const
    {
        std::string text = "[Product]\nversion = 24.1.0.7\nbuild_name = demo-build\n"
                           "module_name = demo-module\n" + productKeys + "\n";
        int order = 0;
        for (const Package& package : packages) {
            text += "[Installer]\nid = " + package.id + "\nurl = " + package.url +
                    "\ninstall_order = " + std::to_string(++order) + "\n" + package.keys + "\n";
        }
        text += "[Statistics]\nurl = " + m_server->Url("/stats") + "\nid = demo-key\n\n"
                "[Mac_Environment]\nbundle_name = ReelMaker\nbundle_version = 24.1.0.7\n";
        return text;
    }

    // The two example packages, downloaded from the development server.
    std::vector<Package> Example(const std::string& codecsKeys, const std::string& reelmakerKeys)
    {
        return {{"codecs", PackageUrl("codecs"), codecsKeys},
                {"reelmaker", PackageUrl("reelmaker"), reelmakerKeys}};
    }

    ProcessResult Run(const std::vector<std::string>& args, const EnvironmentChanges& extra = {},
                      const fs::path& program = InstallerProgram())
    {
        EnvironmentChanges env;
        env["HOME"] = home.string();
        env["TMPDIR"] = tmp.string();
        env["DISPLAY"] = std::nullopt;
        for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                 "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            env[name] = std::nullopt;
        }
        // The proxy lookup then reads the environment only, never a desktop's settings.
        env["PX_MODULE_PATH"] = m_temp.Sub("no-proxy-modules").string();
        env["ZENTAK_UID_SERVICE_URL"] = m_server->UidServiceUrl();
        for (const auto& [name, value] : extra) {
            env[name] = value;
        }
        std::vector<std::string> argv{program.string(), "--unattended"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, env, std::chrono::seconds(180));
    }

    bool Installed(const std::string& name) const
    {
        return fs::is_regular_file(home / "Applications" / (name + ".app") / "Contents" / "MacOS" /
                                   name);
    }

    // Requests for `path` (with any query) in the development server's log.
    size_t Requests(const std::string& method, const std::string& path) const
    {
        const std::string log = ReadFile(m_server->LogFile());
        const std::string wanted = "\"" + method + " " + path;
        size_t count = 0;
        for (size_t at = log.find(wanted); at != std::string::npos; at = log.find(wanted, at + 1)) {
            const char next = at + wanted.size() < log.size() ? log[at + wanted.size()] : '\0';
            count += next == ' ' || next == '?';
        }
        return count;
    }

    // The whole text of the program's logs in `folder` (given with --log-path).
    static std::string Logs(const fs::path& folder)
    {
        std::string text;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            if (entry.is_regular_file() && entry.path().filename().string().find(".log.") !=
                                               std::string::npos) {
                text += ReadFile(entry.path());
            }
        }
        return text;
    }

    TempDir m_temp{"zentak-integrity"};
    std::unique_ptr<DevServer> m_server;

public:
    const fs::path home = m_temp.Sub("home");
    const fs::path tmp = m_temp.Sub("tmp");
};

// ---- Integrity ------------------------------------------------------------

TEST_F(InstallerIntegrityTest, MatchingHashesInstallTheBundle)
{
    const std::string url = Publish(Example(Checked("codecs"), Checked("reelmaker")));
    const ProcessResult result = Run({"--config-url=" + url});
    ASSERT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_TRUE(Installed("ReelCodecs"));
    EXPECT_TRUE(Installed("ReelMaker"));

    const std::vector<CollectedEvent> events = Server().Events();
    const auto finished = Named(events, "PRODUCT_DOWNLOAD_FINISHED");
    ASSERT_EQ(finished.size(), 2u) << Join(EventNames(events));
    for (const CollectedEvent& event : finished) {
        const std::string id = event.Param("PRODUCT_NAME").value_or("");
        EXPECT_EQ(event.Param("TOTAL_SIZE"), std::to_string(PackageBytes(id).size())) << id;
    }
    EXPECT_TRUE(Named(events, "PRODUCT_DOWNLOAD_ERROR").empty());
    // The sizes come from the configuration: no size queries.
    EXPECT_EQ(Requests("HEAD", "/content/packages/codecs.tar.gz"), 0u);
}

// A package whose bytes do not match its sha256 fails its download the way
// any failed download does: retried once at once, then the retry dialog
// (which an unattended run answers with cancel).
TEST_F(InstallerIntegrityTest, HashMismatchFailsTheDownloadWithItsText)
{
    const std::string wrong = Sha256Hex("not the package");
    const std::string url =
        Publish(Example("sha256 = " + wrong + "\n", Checked("reelmaker")));
    const ProcessResult result = Run({"--config-url=" + url});
    EXPECT_EQ(result.exitCode, 5) << result.Describe();
    EXPECT_FALSE(Installed("ReelCodecs"));

    const std::string text = "sha256 mismatch for codecs: expected " + wrong + ", got " +
                             Sha256Hex(PackageBytes("codecs"));
    const std::vector<CollectedEvent> events = Server().Events();
    std::vector<std::string> codecsErrors;
    for (const CollectedEvent& event : Named(events, "PRODUCT_DOWNLOAD_ERROR")) {
        if (event.Param("PRODUCT_NAME") == "codecs") {
            EXPECT_EQ(event.Param("CURL_ERROR"), text);
            codecsErrors.push_back(event.Param("ERROR_COUNT").value_or(""));
        }
    }
    EXPECT_EQ(codecsErrors, (std::vector<std::string>{"0", "1"})) << Join(EventNames(events));
    const auto bundle = Named(events, "BUNDLE_DOWNLOAD_ERROR");
    ASSERT_EQ(bundle.size(), 2u);
    EXPECT_EQ(bundle[0].Param("CURL_ERROR"), text);
    EXPECT_NE(result.out.find("Dialog: "), std::string::npos) << result.out;
    EXPECT_EQ(Requests("GET", "/content/packages/codecs.tar.gz"), 2u);
}

// A package without a hash is taken as before, unless the product section
// asks for hashes: then the configuration is refused before anything is
// downloaded, like a configuration that cannot be read.
TEST_F(InstallerIntegrityTest, MissingHashIsAnErrorOnlyWhenRequired)
{
    {
        const std::string url = Publish(Example(Checked("codecs"), ""), "", "optional.ini");
        const ProcessResult result = Run({"--config-url=" + url});
        EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
        EXPECT_TRUE(Installed("ReelMaker"));
    }
    struct Case {
        const char* what;
        std::string reelmakerKeys;
        std::string productKeys;
        std::string error;
    } cases[] = {
        {"required and missing", "", "require_sha256 = true\n",
         "Installer reelmaker has no sha256, which require_sha256 asks for"},
        {"malformed", "sha256 = 1234\n", "",
         "Installer reelmaker: sha256 must be 64 hexadecimal digits, not \"1234\""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const std::string before = ReadFile(Server().LogFile());
        const std::string url =
            Publish(Example(Checked("codecs"), test.reelmakerKeys), test.productKeys, "refused.ini");
        const ProcessResult result = Run({"--config-url=" + url});
        EXPECT_EQ(result.exitCode, 4) << result.Describe();
        EXPECT_NE(result.err.find(test.error), std::string::npos) << result.err;
        EXPECT_NE(result.out.find("Dialog: "), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("Page: Start"), std::string::npos) << result.out;
        const std::string during = ReadFile(Server().LogFile()).substr(before.size());
        EXPECT_EQ(during.find("/content/packages/"), std::string::npos)
            << "a package was asked for:\n" << during;
    }
    // The same from a local file.
    const fs::path local = m_temp.Path() / "local.ini";
    std::ofstream(local) << ConfigText(Example(Checked("codecs"), ""), "require_sha256 = true\n");
    const ProcessResult result = Run({"--config-file=" + local.string()});
    EXPECT_EQ(result.exitCode, 4) << result.Describe();
    EXPECT_NE(result.err.find("Installer reelmaker has no sha256"), std::string::npos) << result.err;
}

// ---- Resume -----------------------------------------------------------------

// The package's server resets the first transfer half way; the automatic
// retry asks only for the rest, and the joined file is checked and installed.
TEST_F(InstallerIntegrityTest, ResetHalfWayIsContinuedWithARange)
{
    const std::string bytes = PackageBytes("reelmaker");
    const size_t half = bytes.size() / 2;
    struct Case {
        const char* what;
        bool ranges;
    } cases[] = {{"server with ranges", true}, {"server that ignores ranges", false}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fs::remove_all(home / "Applications");
        auto sent = std::make_shared<std::atomic<size_t>>(0);
        TestServer packages;
        packages.Expect("GET", "/reelmaker.tar.gz", Reply::Reset(bytes, half), Times::Exactly(1));
        if (test.ranges) {
            packages.Expect("GET", "/reelmaker.tar.gz", Reply::Ranged(bytes, sent), Times::Exactly(1));
        } else {
            packages.Expect("GET", "/reelmaker.tar.gz",
                            Reply::Raw("HTTP/1.1 200 OK\r\nContent-Length: " +
                                       std::to_string(bytes.size()) +
                                       "\r\nConnection: close\r\n\r\n" + bytes),
                            Times::Exactly(1));
        }
        const std::string url =
            Publish({{"codecs", PackageUrl("codecs"), Checked("codecs")},
                     {"reelmaker", packages.Url("/reelmaker.tar.gz"), Checked("reelmaker")}});
        const ProcessResult result = Run({"--config-url=" + url});
        EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
        EXPECT_TRUE(Installed("ReelMaker"));
        packages.Stop();

        const auto requests = packages.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].Header("Range"), "");
        std::smatch range;
        const std::string asked = requests[1].Header("Range");
        ASSERT_TRUE(std::regex_match(asked, range, std::regex("bytes=(\\d+)-"))) << asked;
        const size_t from = std::stoul(range[1]);
        EXPECT_GT(from, 0u);
        EXPECT_LE(from, half);
        if (test.ranges) {
            EXPECT_EQ(sent->load(), bytes.size() - from) << "the retry sent more than the rest";
        }

        const std::vector<CollectedEvent> events = Server().Events();
        const auto errors = Named(events, "PRODUCT_DOWNLOAD_ERROR");
        ASSERT_FALSE(errors.empty());
        EXPECT_NE(errors.back().Param("CURL_ERROR").value_or("").find("curl_multi_perform failed"),
                  std::string::npos);
        bool finished = false;
        for (const CollectedEvent& event : Named(events, "PRODUCT_DOWNLOAD_FINISHED")) {
            if (event.Param("PRODUCT_NAME") == "reelmaker") {
                finished = true;
                // Statistics count whole files, the kept part included.
                EXPECT_EQ(event.Param("TOTAL_SIZE"), std::to_string(bytes.size()));
                EXPECT_EQ(event.Param("ERROR_COUNT"), "1");
            }
        }
        EXPECT_TRUE(finished) << Join(EventNames(events));
        fs::remove(Server().StateDir() / "events.jsonl");
    }
}

// ---- Local packages -------------------------------------------------------

TEST_F(InstallerIntegrityTest, PackageDirServesMatchingFilesOnly)
{
    struct Case {
        const char* what;
        std::vector<std::string> local;   // packages copied into the folder as they are
        std::vector<std::string> altered; // packages put there with other bytes
        bool reelmakerHash;
        std::vector<std::string> downloaded;
    } cases[] = {
        {"both there and matching", {"codecs", "reelmaker"}, {}, true, {}},
        {"one altered", {"codecs"}, {"reelmaker"}, true, {"reelmaker"}},
        {"none there", {}, {}, true, {"codecs", "reelmaker"}},
        {"there, but without a hash to check", {"codecs", "reelmaker"}, {}, false, {"reelmaker"}},
    };
    int round = 0;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fs::remove_all(home / "Applications");
        fs::remove(Server().StateDir() / "events.jsonl");
        const fs::path folder = m_temp.Sub("packages-" + std::to_string(++round));
        for (const std::string& id : test.local) {
            fs::copy_file(PackageFile(id), folder / (id + ".tar.gz"));
        }
        for (const std::string& id : test.altered) {
            std::string bytes = PackageBytes(id);
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
            std::ofstream(folder / (id + ".tar.gz"), std::ios::binary) << bytes;
        }
        const size_t codecsBefore = Requests("GET", "/content/packages/codecs.tar.gz");
        const size_t reelmakerBefore = Requests("GET", "/content/packages/reelmaker.tar.gz");
        // A query after the file name does not count as part of it.
        std::vector<Package> packages = {
            {"codecs", PackageUrl("codecs") + "?channel=demo", Checked("codecs")},
            {"reelmaker", PackageUrl("reelmaker"), test.reelmakerHash ? Checked("reelmaker") : ""}};
        const std::string url = Publish(packages);
        const ProcessResult result = Run({"--config-url=" + url, "--package-dir=" + folder.string()});
        EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
        EXPECT_TRUE(Installed("ReelCodecs"));
        EXPECT_TRUE(Installed("ReelMaker"));

        const std::vector<CollectedEvent> events = Server().Events();
        for (const std::string id : {"codecs", "reelmaker"}) {
            const bool download =
                std::find(test.downloaded.begin(), test.downloaded.end(), id) != test.downloaded.end();
            const size_t before = id == "codecs" ? codecsBefore : reelmakerBefore;
            EXPECT_EQ(Requests("GET", "/content/packages/" + id + ".tar.gz") - before,
                      download ? 1u : 0u)
                << id;
            size_t started = 0;
            size_t local = 0;
            for (const CollectedEvent& event : events) {
                if (event.Param("PRODUCT_NAME") != id) {
                    continue;
                }
                started += event.name == "PRODUCT_DOWNLOAD_STARTED";
                if (event.name == "PRODUCT_LOCAL_PACKAGE_USED") {
                    ++local;
                    EXPECT_EQ(event.Param("TOTAL_SIZE"), std::to_string(PackageBytes(id).size()));
                }
            }
            EXPECT_EQ(started, download ? 1u : 0u) << id << ": " << Join(EventNames(events));
            EXPECT_EQ(local, download ? 0u : 1u) << id << ": " << Join(EventNames(events));
        }
        // Nothing downloaded at all: no download of the bundle to report.
        EXPECT_EQ(Named(events, "BUNDLE_DOWNLOAD_FINISHED").size(), test.downloaded.empty() ? 0u : 1u);
        EXPECT_EQ(Named(events, "BUNDLE_INSTALL_FINISHED").size(), 1u);
        // The folder is only read.
        for (const std::string& id : test.local) {
            EXPECT_EQ(ReadFile(folder / (id + ".tar.gz")), PackageBytes(id));
        }
    }
}

// ---- Proxy ------------------------------------------------------------------

// The packages come through an authenticating proxy named by http_proxy; the
// configuration and statistics go to "localhost", which no_proxy keeps direct,
// so that a refused package still reaches the statistics.
TEST_F(InstallerIntegrityTest, AuthenticatingProxyWithGoodAndBadCredentials)
{
    const auto local = [&](const std::string& url) {
        return std::regex_replace(url, std::regex("127\\.0\\.0\\.1"), "localhost");
    };
    struct Case {
        const char* what;
        std::string userInfo;
        std::string error; // after "<host>:<port>"; empty: installed
    } cases[] = {
        {"good credentials", "reel:s3cret@", ""},
        {"bad credentials", "reel:wrong@",
         ": the proxy refused the user name and password of the proxy URL"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fs::remove_all(home / "Applications");
        fs::remove(Server().StateDir() / "events.jsonl");
        Zentak::Test::TestProxy proxy("reel:s3cret");
        const std::string address = "127.0.0.1:" + std::to_string(proxy.Port());
        std::string config = ConfigText(Example(Checked("codecs"), Checked("reelmaker")), "");
        config = std::regex_replace(config, std::regex("url = http://127\\.0\\.0\\.1:(\\d+)/stats"),
                                    "url = http://localhost:$1/stats");
        std::ofstream(Server().ContentDir() / "proxied.ini") << config;
        const ProcessResult result =
            Run({"--config-url=" + local(Server().Url("/content/proxied.ini"))},
                {{"http_proxy", "http://" + test.userInfo + address},
                 {"no_proxy", "localhost"},
                 {"ZENTAK_UID_SERVICE_URL", local(Server().UidServiceUrl())}});
        const std::vector<CollectedEvent> events = Server().Events();
        const std::vector<std::string> urls = proxy.RequestedUrls();
        EXPECT_NE(std::find(urls.begin(), urls.end(), PackageUrl("reelmaker")), urls.end())
            << "the package did not go through the proxy: " << Join(urls);
        if (test.error.empty()) {
            EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
            EXPECT_TRUE(Installed("ReelMaker"));
            EXPECT_GE(proxy.Forwarded(), 2);
            EXPECT_TRUE(Named(events, "PRODUCT_DOWNLOAD_ERROR").empty()) << Join(EventNames(events));
        } else {
            EXPECT_EQ(result.exitCode, 5) << result.Describe();
            EXPECT_FALSE(Installed("ReelMaker"));
            EXPECT_EQ(proxy.Forwarded(), 0);
            const auto errors = Named(events, "BUNDLE_DOWNLOAD_ERROR");
            ASSERT_FALSE(errors.empty()) << Join(EventNames(events));
            EXPECT_EQ(errors[0].Param("CURL_ERROR"),
                      "curl_multi_perform failed: proxy authentication failed at " + address +
                          test.error);
        }
    }
}

// ---- Signed configuration --------------------------------------------------

// The test build that requires configurations signed with the tests' key,
// against configurations signed with the signing tool.
TEST_F(InstallerIntegrityTest, SignedConfigurationGoodTamperedAndMissing)
{
    const fs::path signedInstaller = ZENTAK_SIGNED_TEST_INSTALLER;
    const fs::path privateKey = fs::path(ZENTAK_TEST_DATA_DIR) / "signing" / "test_private.pem";
    struct Case {
        const char* what;
        bool sign;
        bool tamper;
        std::string failure; // after the signature's URL; empty: installed
    } cases[] = {
        {"good signature", true, false, ""},
        {"configuration changed after signing", true, true,
         " rejected: the signature does not match the configuration"},
        {"no signature", false, false, " not available: curl_multi_perform failed: "
                                       "http response code = 404"},
    };
    int round = 0;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fs::remove_all(home / "Applications");
        const std::string name = "signed-" + std::to_string(++round) + ".ini";
        const fs::path config = Server().ContentDir() / name;
        std::ofstream(config) << ConfigText(Example(Checked("codecs"), Checked("reelmaker")), "");
        if (test.sign) {
            const ProcessResult signing = RunProcess(
                {ZENTAK_SIGN_CONFIG, "sign", privateKey.string(), config.string()}, {},
                std::chrono::seconds(30));
            ASSERT_EQ(signing.exitCode, 0) << signing.Describe();
        }
        if (test.tamper) {
            std::ofstream(config, std::ios::app) << "[Testing]\ncrash = yes\n";
        }
        const fs::path logs = m_temp.Sub("logs-" + std::to_string(round));
        const ProcessResult result =
            Run({"--config-url=" + Server().Url("/content/" + name), "--log-path=" + logs.string()},
                {}, signedInstaller);
        EXPECT_EQ(Requests("GET", "/content/" + name + ".sig"), 1u);
        if (test.failure.empty()) {
            EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
            EXPECT_TRUE(Installed("ReelMaker"));
        } else {
            EXPECT_EQ(result.exitCode, 4) << result.Describe();
            EXPECT_FALSE(Installed("ReelMaker"));
            EXPECT_EQ(result.out.find("Page: Start"), std::string::npos) << result.out;
            EXPECT_NE(result.out.find("Dialog: "), std::string::npos) << result.out;
            EXPECT_NE(Logs(logs).find("Configuration download failed: configuration signature " +
                                      Server().Url("/content/" + name + ".sig") + test.failure),
                      std::string::npos)
                << Logs(logs);
        }
    }
}

// A build without a key takes the configuration as it always did and never
// asks for a signature.
// The release team's round: hash the packages into the configuration, check
// it, sign it; the hashed configuration installs, a faulty one is not signed.
TEST_F(InstallerIntegrityTest, SignConfigHashesChecksAndRefusesToSignAFaultyConfiguration)
{
    const fs::path config = Server().ContentDir() / "hashed.ini";
    std::ofstream(config) << ConfigText(Example("size = 1\n", ""), "require_sha256 = true\n");
    const auto tool = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{ZENTAK_SIGN_CONFIG};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, {}, std::chrono::seconds(30));
    };
    const ProcessResult hashed = tool({"hash", config.string(), (Server().ContentDir() / "packages").string()});
    ASSERT_EQ(hashed.exitCode, 0) << hashed.Describe();
    const std::string text = ReadFile(config);
    for (const char* id : {"codecs", "reelmaker"}) {
        EXPECT_NE(text.find(Checked(id)), std::string::npos) << id << "\n" << text;
    }
    EXPECT_EQ(text.find("size = 1\n"), std::string::npos) << "the old size stays:\n" << text;
    const ProcessResult checked = Run({"--check-config=" + config.string()});
    EXPECT_EQ(checked.exitCode, 0) << checked.Describe() << checked.out;
    const ProcessResult installed = Run({"--config-url=" + Server().Url("/content/hashed.ini")});
    EXPECT_EQ(installed.exitCode, 0) << installed.Describe();
    // Every size is known from the start: the percentage never goes back.
    EXPECT_TRUE(ProgressOnlyRises(installed.out));

    const fs::path faulty = m_temp.Path() / "faulty.ini";
    std::ofstream(faulty) << text << "[Instaler]\nid = x\n";
    const ProcessResult refusedCheck = Run({"--check-config=" + faulty.string()});
    EXPECT_EQ(refusedCheck.exitCode, 2);
    EXPECT_NE(refusedCheck.out.find("unknown section [Instaler] (did you mean [Installer]?)"),
              std::string::npos)
        << refusedCheck.out;
    const fs::path key = m_temp.Path() / "private.pem";
    ASSERT_EQ(tool({"keygen", key.string(), (m_temp.Path() / "public.pem").string()}).exitCode, 0);
    const ProcessResult refusedSign = tool({"sign", key.string(), faulty.string()});
    EXPECT_EQ(refusedSign.exitCode, 1) << refusedSign.Describe();
    EXPECT_FALSE(fs::exists(faulty.string() + ".sig"));
}

TEST_F(InstallerIntegrityTest, WithoutAKeyNoSignatureIsAskedFor)
{
    const ProcessResult result = Run({"--config-url=" + Server().ConfigUrl()});
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_TRUE(Installed("ReelMaker"));
    EXPECT_EQ(Requests("GET", "/content/config.ini"), 1u);
    EXPECT_EQ(Requests("GET", "/content/config.ini.sig"), 0u);
}

} // namespace
} // namespace Zentak::E2e
