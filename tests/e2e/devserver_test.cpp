// The development server on its own: content with ranges, the statistics
// collector and the web user id service, through a real HTTP client.

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness/dev_server.h"
#include "harness/installer_run.h"
#include "harness/temp_dir.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Every byte value, several times over, so a shifted range shows.
std::string PatternBytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return bytes;
}

class DevServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(m_temp.Path() / "content" / "packages" / "data.bin", m_data);
        WriteFile(m_temp.Path() / "content" / "config.ini.in",
                  "[Statistics]\nurl = @BASE_URL@/stats\nid = k\n"
                  "[Splash]\nprogress = @BASE_URL@/content/p.png ; @BASE_URL@\n");
        WriteFile(m_temp.Path() / "outside.txt", "secret");
        fs::create_symlink(m_temp.Path() / "outside.txt",
                           m_temp.Path() / "content" / "link-out.txt");
        Start();
    }

    void Start()
    {
        m_server = std::make_unique<DevServer>(m_temp.Path() / "content", m_temp.Path() / "state");
        m_client = std::make_unique<httplib::Client>("127.0.0.1", m_server->Port());
        m_client->set_connection_timeout(5);
        m_client->set_read_timeout(10);
    }

    void Restart()
    {
        m_client.reset();
        const ProcessResult stopped = m_server->Stop();
        ASSERT_EQ(stopped.exitCode, 0) << stopped.Describe();
        m_server.reset();
        Start();
    }

    nlohmann::json GetJson(const std::string& path)
    {
        const httplib::Result result = m_client->Get(path.c_str());
        if (!result) {
            ADD_FAILURE() << "GET " << path << " failed: " << httplib::to_string(result.error());
            return nullptr;
        }
        EXPECT_EQ(result->status, 200) << path;
        EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << path;
        return nlohmann::json::parse(result->body);
    }

    fs::path State(const std::string& name) const { return m_temp.Path() / "state" / name; }

    TempDir m_temp{"zentak-devserver"};
    const std::string m_data = PatternBytes(100000);
    std::unique_ptr<DevServer> m_server;
    std::unique_ptr<httplib::Client> m_client;
};

TEST_F(DevServerTest, ServesContentWithRangesAndHead)
{
    const std::string size = std::to_string(m_data.size());
    struct Case {
        std::string range; // empty: no Range header
        int status;
        std::string body;
        std::string contentRange;
    };
    const std::vector<Case> cases = {
        {"", 200, m_data, ""},
        {"bytes=0-0", 206, m_data.substr(0, 1), "bytes 0-0/" + size},
        {"bytes=10-19", 206, m_data.substr(10, 10), "bytes 10-19/" + size},
        {"bytes=99990-", 206, m_data.substr(99990), "bytes 99990-99999/" + size},
        {"bytes=99990-200000", 206, m_data.substr(99990), "bytes 99990-99999/" + size},
        {"bytes=-5", 206, m_data.substr(99995), "bytes 99995-99999/" + size},
        {"bytes=-200000", 206, m_data, "bytes 0-99999/" + size},
        {"bytes=100000-", 416, "", "bytes */" + size},
        {"bytes=-0", 416, "", "bytes */" + size},
        // Malformed or several ranges: the whole file.
        {"bytes=20-10", 200, m_data, ""},
        {"items=0-1", 200, m_data, ""},
        {"bytes=0-1,5-6", 200, m_data, ""},
    };
    for (const Case& c : cases) {
        httplib::Headers headers;
        if (!c.range.empty()) {
            headers.emplace("Range", c.range);
        }
        const httplib::Result result = m_client->Get("/content/packages/data.bin", headers);
        ASSERT_TRUE(result) << c.range << ": " << httplib::to_string(result.error());
        EXPECT_EQ(result->status, c.status) << c.range;
        EXPECT_TRUE(result->body == c.body) << c.range << ": body of " << result->body.size()
                                            << " bytes differs";
        EXPECT_EQ(result->get_header_value("Content-Range"), c.contentRange) << c.range;
        EXPECT_EQ(result->get_header_value("Accept-Ranges"), "bytes") << c.range;
        EXPECT_EQ(result->get_header_value("Content-Length"), std::to_string(c.body.size()))
            << c.range;
    }

    const httplib::Result head = m_client->Head("/content/packages/data.bin");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Length"), size);
    EXPECT_TRUE(head->body.empty());
}

TEST_F(DevServerTest, RefusesWhatIsNotAFileUnderTheRoot)
{
    for (const char* path :
         {"/content/../outside.txt", "/content/%2e%2e/outside.txt", "/content/..%2foutside.txt",
          "/content/link-out.txt", "/content/%2Fetc%2Fpasswd", "/content/packages",
          "/content/", "/content/missing.bin", "/content/data%00.bin"}) {
        const httplib::Result result = m_client->Get(path);
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 404) << path;
        EXPECT_EQ(result->body.find("secret"), std::string::npos) << path;
    }
}

TEST_F(DevServerTest, AnswersUnknownRoutesWith404)
{
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"GET", "/"},          {"GET", "/stats"},           {"GET", "/api/v1/uid/"},
        {"GET", "/api/v1/uid/unknown"}, {"POST", "/content/config.ini"},
        {"POST", "/api/v1/uid/generate"}, {"HEAD", "/stats"},
    };
    for (const auto& [method, path] : requests) {
        httplib::Result result = method == "GET"    ? m_client->Get(path.c_str())
                                 : method == "HEAD" ? m_client->Head(path.c_str())
                                                    : m_client->Post(path.c_str(), "x", "text/plain");
        ASSERT_TRUE(result) << method << " " << path;
        EXPECT_EQ(result->status, 404) << method << " " << path;
    }
    EXPECT_FALSE(fs::exists(State("uids.json"))) << "a refused request changed the id store";
}

TEST_F(DevServerTest, WritesTheConfigurationWithItsOwnAddress)
{
    const std::string base = m_server->BaseUrl();
    EXPECT_EQ(ReadFile(m_server->ContentDir() / "config.ini"),
              "[Statistics]\nurl = " + base + "/stats\nid = k\n[Splash]\nprogress = " + base +
                  "/content/p.png ; " + base + "\n");
    const httplib::Result result = m_client->Get("/content/config.ini");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, ReadFile(m_server->ContentDir() / "config.ini"));
}

TEST_F(DevServerTest, CollectorStoresWellFormedPackages)
{
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<package tracker=\"1.0.0.0\">\n"
        "\t<event name=\"FIRST_EVENT\">\n"
        "\t\t<param name=\"BUILD_NAME\" type=\"text\" value=\"demo build\"/>\n"
        "\t\t<param name=\"OS_BITS\" type=\"numeric\" value=\"64\"/>\n"
        "\t\t<param name=\"ERROR\" type=\"text\" value=\"a &amp; &quot;b&quot; &lt;c&gt;\"/>\n"
        "\t</event>\n"
        "\t<event name=\"SECOND_EVENT\">\n"
        "\t\t<param name=\"ZETA\" type=\"text\" value=\"\"/>\n"
        "\t\t<param name=\"ALPHA\" type=\"text\" value=\"1\"/>\n"
        "\t</event>\n"
        "</package>\n";
    const httplib::Result result = m_client->Post(
        "/stats?key=demo-key&version=24.1&tracker=1.0.0.0&cur_time_local=2024-01-02T03:04:05", body,
        "text/xml;charset=utf-8");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);

    EXPECT_EQ(ReadFile(State("packages/000001.xml")), body);

    const std::vector<CollectedEvent> events = m_server->Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "FIRST_EVENT");
    const std::vector<std::pair<std::string, std::string>> firstParams = {
        {"BUILD_NAME", "demo build"}, {"OS_BITS", "64"}, {"ERROR", "a & \"b\" <c>"}};
    EXPECT_EQ(events[0].params, firstParams);
    EXPECT_EQ(events[1].name, "SECOND_EVENT");
    const std::vector<std::pair<std::string, std::string>> secondParams = {{"ZETA", ""},
                                                                           {"ALPHA", "1"}};
    EXPECT_EQ(events[1].params, secondParams);
    const std::map<std::string, std::string> query = {{"key", "demo-key"},
                                                      {"version", "24.1"},
                                                      {"tracker", "1.0.0.0"},
                                                      {"cur_time_local", "2024-01-02T03:04:05"}};
    EXPECT_EQ(events[0].query, query);
    EXPECT_EQ(events[1].query, query);

    EXPECT_EQ(ReadFile(State("events.log")),
              "FIRST_EVENT BUILD_NAME=\"demo build\" OS_BITS=64 ERROR=\"a & \\\"b\\\" <c>\"\n"
              "SECOND_EVENT ZETA=\"\" ALPHA=1\n");

    EXPECT_EQ(result->body, "statistics package accepted\n");

    // A second package gets the next number and adds to the logs.
    ASSERT_TRUE(m_client->Post("/stats", "<package><event name=\"THIRD\"/></package>", "text/xml"));
    EXPECT_TRUE(fs::exists(State("packages/000002.xml")));
    EXPECT_EQ(EventNames(m_server->Events()),
              (std::vector<std::string>{"FIRST_EVENT", "SECOND_EVENT", "THIRD"}));
}

// A sender that timed out sends a stored package again: the collector keeps
// each event once, by its UNIQUE_ID, and still answers 200.
TEST_F(DevServerTest, CollectorDropsEventsItStoredBefore)
{
    auto package = [](const std::vector<std::pair<std::string, std::string>>& events) {
        std::string body = "<package>";
        for (const auto& [name, id] : events) {
            body += "<event name=\"" + name + "\"><param name=\"UNIQUE_ID\" value=\"" + id +
                    "\"/></event>";
        }
        return body + "</package>";
    };
    const std::string first = package({{"WI_NEW_SITEMARK", "u1"}, {"BUNDLE_INSTALL_STARTED", "u2"}});
    for (int attempt = 0; attempt < 2; ++attempt) {
        const httplib::Result result = m_client->Post("/stats", first, "text/xml");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 200);
    }
    EXPECT_FALSE(fs::exists(State("packages/000002.xml")));
    ASSERT_TRUE(m_client->Post("/stats", package({{"BUNDLE_INSTALL_STARTED", "u2"}, {"LATER", "u3"}}),
                               "text/xml"));
    EXPECT_EQ(EventNames(m_server->Events()),
              (std::vector<std::string>{"WI_NEW_SITEMARK", "BUNDLE_INSTALL_STARTED", "LATER"}));
}

TEST_F(DevServerTest, CollectorRefusesWhatIsNotWellFormed)
{
    for (const std::string& body :
         {std::string(), std::string("<package>"), std::string("not xml at all"),
          std::string("<package><event name=\"A\"></package>"),
          std::string("<package><event name=\"A & B\"/></package>"),
          std::string("<package><event name=\"A\" name=\"B\"/></package>"),
          std::string("<package/><package/>")}) {
        const httplib::Result result = m_client->Post("/stats", body, "text/xml");
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 400) << body;
        EXPECT_FALSE(result->body.empty()) << body;
    }
    EXPECT_TRUE(fs::is_empty(State("packages")));
    EXPECT_TRUE(m_server->Events().empty());

    // The connection is still usable after refusals.
    const httplib::Result good = m_client->Post("/stats", "<package/>", "text/xml");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->status, 200);
}

TEST_F(DevServerTest, UidServiceGeneratesChecksLinksAndKeepsIdsAcrossRestarts)
{
    const std::regex idForm("[0-9a-f]{32}");
    const std::string first = GetJson("/api/v1/uid/generate").value("id", "");
    const std::string second = GetJson("/api/v1/uid/generate").value("id", "");
    EXPECT_TRUE(std::regex_match(first, idForm)) << first;
    EXPECT_TRUE(std::regex_match(second, idForm)) << second;
    EXPECT_NE(first, second);

    struct UsedCase {
        std::string path;
        bool exist;
    };
    const std::vector<UsedCase> used = {
        {"/api/v1/uid/used/" + first, true},
        {"/api/v1/uid/used/" + second, true},
        {"/api/v1/uid/used/0123456789abcdef0123456789abcdef", false},
        {"/api/v1/uid/used/", false},
        {"/api/v1/uid/used/" + first + "%26link_id%5B%5D%3Dx", false},
        {"/api/v1/uid/used/" + first.substr(0, 4) + "%2F" + first.substr(4), false},
    };
    for (const UsedCase& c : used) {
        const nlohmann::json reply = GetJson(c.path);
        EXPECT_EQ(reply, nlohmann::json({{"exist", c.exist}})) << c.path;
    }

    struct LinkCase {
        std::string query;
        bool success;
    };
    const std::vector<LinkCase> links = {
        {"main_id=" + first + "&link_id[]=" + second + "&link_id[]=other", true},
        {"main_id=" + first + "&link_id%5B%5D=encoded%20id", true},
        {"main_id=unknown&link_id[]=" + first, false},
        {"link_id[]=" + first, false},
    };
    for (const LinkCase& c : links) {
        const std::string path = "/api/v1/uid/link/batch?" + c.query;
        EXPECT_EQ(GetJson(path), nlohmann::json({{"success", c.success}})) << path;
    }

    Restart();
    EXPECT_EQ(GetJson("/api/v1/uid/used/" + first), nlohmann::json({{"exist", true}}));
    EXPECT_EQ(GetJson("/api/v1/uid/used/" + second), nlohmann::json({{"exist", true}}));
    const nlohmann::json store = nlohmann::json::parse(ReadFile(State("uids.json")));
    EXPECT_EQ(store.at("ids"), nlohmann::json({first, second}));
    EXPECT_EQ(store.at("links"),
              nlohmann::json({{{"main_id", first}, {"link_ids", {second, "other"}}},
                              {{"main_id", first}, {"link_ids", {"encoded id"}}}}));
    // New ids after the restart do not repeat the stored ones.
    const std::string third = GetJson("/api/v1/uid/generate").value("id", "");
    EXPECT_EQ(std::set<std::string>({first, second, third}).size(), 3u);
}

TEST_F(DevServerTest, StopsCleanlyOnSigterm)
{
    ASSERT_TRUE(m_client->Get("/content/config.ini"));
    m_client.reset();
    const ProcessResult stopped = m_server->Stop();
    EXPECT_FALSE(stopped.timedOut);
    EXPECT_EQ(stopped.exitCode, 0) << stopped.Describe();
    EXPECT_NE(ReadFile(m_server->LogFile()).find("\"GET /content/"), std::string::npos)
        << "requests are not logged";
}

TEST(DevServerRate, LimitedContentStillArrivesWhole)
{
    TempDir temp("zentak-devserver");
    const std::string data = PatternBytes(50000);
    WriteFile(temp.Path() / "content" / "data.bin", data);
    DevServer server(temp.Path() / "content", temp.Path() / "state", {"--content-rate", "256"});
    httplib::Client client("127.0.0.1", server.Port());
    client.set_read_timeout(30);

    const httplib::Result whole = client.Get("/content/data.bin");
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_TRUE(whole->body == data) << "body of " << whole->body.size() << " bytes differs";

    const httplib::Result part = client.Get("/content/data.bin", {{"Range", "bytes=30000-"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_TRUE(part->body == data.substr(30000)) << "body of " << part->body.size() << " bytes";
}

TEST(DevServerExample, ServesTheExampleProduct)
{
    TempDir temp("zentak-devserver");
    MakeExampleContent(temp.Path() / "content");
    DevServer server(temp.Path() / "content", temp.Path() / "state");
    httplib::Client client("127.0.0.1", server.Port());

    const std::string config = ReadFile(server.ContentDir() / "config.ini");
    EXPECT_EQ(config.find("@BASE_URL@"), std::string::npos);
    // Every URL the configuration names is served.
    const std::regex url("http://127\\.0\\.0\\.1:" + std::to_string(server.Port()) +
                         "(/content/[^\\s]+)");
    int named = 0;
    for (std::sregex_iterator it(config.begin(), config.end(), url), end; it != end; ++it) {
        ++named;
        const httplib::Result head = client.Head((*it)[1].str().c_str());
        ASSERT_TRUE(head) << (*it)[1];
        EXPECT_EQ(head->status, 200) << (*it)[1];
    }
    EXPECT_EQ(named, 3) << config;
    EXPECT_NE(config.find("url = " + server.Url("/stats")), std::string::npos) << config;

    const httplib::Result picture = client.Get("/content/images/progress.png");
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->body.substr(0, 8), "\x89PNG\r\n\x1a\n");

    // Each package holds exactly one <Name>.app with its program.
    for (const auto& [id, name] : {std::pair<std::string, std::string>{"reelmaker", "ReelMaker"},
                                   {"codecs", "ReelCodecs"}}) {
        const ProcessResult listing = RunProcess(
            {"tar", "-tzvf", (server.ContentDir() / "packages" / (id + ".tar.gz")).string()}, {},
            std::chrono::seconds(30));
        ASSERT_EQ(listing.exitCode, 0) << listing.Describe();
        std::set<std::string> tops;
        bool program = false;
        for (const std::string& line : Lines(listing.out)) {
            const std::string path = line.substr(line.rfind(' ') + 1);
            tops.insert(path.substr(0, path.find('/')));
            if (path == name + ".app/Contents/MacOS/" + name && line[3] == 'x') {
                program = true;
            }
        }
        EXPECT_EQ(tops, std::set<std::string>{name + ".app"}) << listing.out;
        EXPECT_TRUE(program) << "no executable program in " << id << ":\n" << listing.out;
    }
}

} // namespace
} // namespace Zentak::E2e
