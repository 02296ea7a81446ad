// The statistics tracker against real endpoints on 127.0.0.1: what reaches
// the collector byte for byte, the retry pauses, the last attempt at shutdown
// and how long shutdown may take when nobody answers.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "localization/translater.h"
#include "logic/tracker/event.h"
#include "logic/tracker/statistics_tracker.h"
#include "support/test_server.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "xml_check.h"

namespace Zentak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ID = Settings::ID;
using Test::ParsedEvent;
using Test::ParsedPackage;
using Test::ParsePackage;
using Test::RecordedRequest;
using Test::Reply;
using Test::TestServer;
using Test::Times;

const std::regex kUuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
const std::regex kTime("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d");

void ClearSettings()
{
    for (ID id : {ID::BuildName, ID::ProductId, ID::ModuleName, ID::ProductVersion, ID::HardwareId,
                  ID::SitemarkId, ID::Locale, ID::BundleName, ID::BundleVersion}) {
        Settings::Unset(id);
    }
}

// Every value of the parameter `name` in `body`, in document order.
std::vector<std::string> ParamValues(const std::string& body, const std::string& name)
{
    const std::regex pattern("<param name=\"" + name + "\" type=\"[a-z]+\" value=\"([^\"]*)\"/>");
    std::vector<std::string> values;
    for (auto it = std::sregex_iterator(body.begin(), body.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        values.push_back((*it)[1]);
    }
    return values;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    while (at != std::string::npos) {
        text.replace(at, from.size(), to);
        at = text.find(from, at + to.size());
    }
}

// A port on 127.0.0.1 that refuses connections: bound, never listening.
class RefusingEndpoint {
public:
    RefusingEndpoint() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) { m_port = Bind(m_fd); }
    ~RefusingEndpoint() { close(m_fd); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/stats"; }

    static int Bind(int fd)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot bind a loopback socket");
        }
        return ntohs(address.sin_port);
    }

protected:
    int m_fd;
    int m_port = 0;
};

// A port on 127.0.0.1 that accepts connections in the kernel and never
// answers: the request goes out and the reply never comes.
class SilentEndpoint : public RefusingEndpoint {
public:
    SilentEndpoint()
    {
        if (listen(m_fd, 64) != 0) {
            throw std::runtime_error("cannot listen on a loopback socket");
        }
    }
};

class TrackerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // glibc rereads the zone file on every mktime(3) while TZ is unset,
        // under a lock ThreadSanitizer cannot see; glog's time stamps would
        // then show up as a race between the sender thread and the test.
        ::setenv("TZ", ":/etc/localtime", 0);
        ClearSettings();
    }
    void TearDown() override { ClearSettings(); }
};

// Two events tracked before Initialize reach the collector in one package,
// oldest first, with every parameter in order, defaults for unset settings,
// empty values for empty settings, and the event chain.
TEST_F(TrackerTest, SendsTheExactPackageOfTwoEventsTrackedBeforeInitialize)
{
    Settings::Set(ID::BuildName, std::string("build-7"));
    Settings::Set(ID::ProductId, std::string());
    Settings::Set(ID::ProductVersion, std::string("2.5.0.1"));
    Settings::Set(ID::HardwareId, std::string("hw-abc"));
    Settings::Set(ID::Locale, std::string("xx-XX"));
    Settings::Set(ID::BundleName, std::string("Reel Bundle"));

    TestServer server;
    server.Expect("POST", "/stats", Reply::Status(200), Times::Exactly(1));
    auto tracker = IStatisticsTracker::Create();
    tracker->TrackEvent("FIRST_EVENT");
    tracker->TrackEvent("SECOND_EVENT", {{"REASON", "none"}, {"COUNT", "2"}});
    tracker->Initialize(server.Url("/stats"), "key-1");
    ASSERT_TRUE(server.WaitForRequests("/stats", 1, 20s));
    tracker.reset();
    server.Stop();

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.Header("Content-Type"), "text/xml;charset=utf-8");
    EXPECT_TRUE(std::regex_match(
        request.query, std::regex("key=key-1&version=2\\.5\\.0\\.1&tracker=1\\.0\\.0\\.0&"
                                  "cur_time_local=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d")))
        << request.query;

    const std::vector<std::string> times = ParamValues(request.body, "DATE_TIME");
    const std::vector<std::string> ids = ParamValues(request.body, "UNIQUE_ID");
    const std::vector<std::string> sids = ParamValues(request.body, "SID");
    ASSERT_EQ(times.size(), 2u) << request.body;
    ASSERT_EQ(ids.size(), 2u) << request.body;
    ASSERT_EQ(sids.size(), 2u) << request.body;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(std::regex_match(times[i], kTime)) << times[i];
        EXPECT_TRUE(std::regex_match(ids[i], kUuid)) << ids[i];
        EXPECT_EQ(sids[i], Tracking::Event::m_sid);
    }
    EXPECT_TRUE(std::regex_match(Tracking::Event::m_sid, kUuid)) << Tracking::Event::m_sid;
    EXPECT_NE(ids[0], ids[1]);

    std::string expected = R"(<?xml version="1.0" encoding="utf-8"?>
<package tracker="1.0.0.0">
	<event name="FIRST_EVENT">
		<param name="BUILD_NAME" type="text" value="build-7"/>
		<param name="BUNDLE_ID" type="text" value=""/>
		<param name="MODULE_NAME" type="text" value="webinstaller"/>
		<param name="VERSION" type="text" value="1.6.0"/>
		<param name="PRODUCT_VERSION" type="text" value="2.5.0.1"/>
		<param name="DATE_TIME" type="text" value="@TIME1@"/>
		<param name="HUID" type="text" value="hw-abc"/>
		<param name="SITEMARK" type="text" value=""/>
		<param name="LANGUAGE" type="text" value="@LANGUAGE@"/>
		<param name="OS_BITS" type="numeric" value="@OS_BITS@"/>
		<param name="OS_EDITION" type="text" value="@OS_EDITION@"/>
		<param name="OS_NAME" type="text" value="@OS_NAME@"/>
		<param name="OS_VERSION" type="numeric" value="@OS_VERSION@"/>
		<param name="SID" type="text" value="@SID@"/>
		<param name="UNIQUE_ID" type="text" value="@ID1@"/>
		<param name="PREVIOUS_EVENT" type="text" value=""/>
		<param name="PREVIOUS_UNIQUE_ID" type="text" value=""/>
		<param name="BUNDLE_NAME" type="text" value="Reel Bundle"/>
		<param name="BUNDLE_VERSION" type="text" value="UNDEFINED"/>
	</event>
	<event name="SECOND_EVENT">
		<param name="BUILD_NAME" type="text" value="build-7"/>
		<param name="BUNDLE_ID" type="text" value=""/>
		<param name="MODULE_NAME" type="text" value="webinstaller"/>
		<param name="VERSION" type="text" value="1.6.0"/>
		<param name="PRODUCT_VERSION" type="text" value="2.5.0.1"/>
		<param name="DATE_TIME" type="text" value="@TIME2@"/>
		<param name="HUID" type="text" value="hw-abc"/>
		<param name="SITEMARK" type="text" value=""/>
		<param name="LANGUAGE" type="text" value="@LANGUAGE@"/>
		<param name="OS_BITS" type="numeric" value="@OS_BITS@"/>
		<param name="OS_EDITION" type="text" value="@OS_EDITION@"/>
		<param name="OS_NAME" type="text" value="@OS_NAME@"/>
		<param name="OS_VERSION" type="numeric" value="@OS_VERSION@"/>
		<param name="SID" type="text" value="@SID@"/>
		<param name="UNIQUE_ID" type="text" value="@ID2@"/>
		<param name="PREVIOUS_EVENT" type="text" value="FIRST_EVENT"/>
		<param name="PREVIOUS_UNIQUE_ID" type="text" value="@ID1@"/>
		<param name="BUNDLE_NAME" type="text" value="Reel Bundle"/>
		<param name="BUNDLE_VERSION" type="text" value="UNDEFINED"/>
		<param name="REASON" type="text" value="none"/>
		<param name="COUNT" type="text" value="2"/>
	</event>
</package>
)";
    // The system layer's own answers; they hold no markup characters.
    ReplaceAll(expected, "@OS_BITS@", Util::OSBits());
    ReplaceAll(expected, "@OS_EDITION@", Util::OSEdition());
    ReplaceAll(expected, "@OS_NAME@", Util::OSName());
    ReplaceAll(expected, "@OS_VERSION@", Util::OSVersion());
    ReplaceAll(expected, "@LANGUAGE@", Translater::GetDefaultLocale());
    ReplaceAll(expected, "@SID@", Tracking::Event::m_sid);
    ReplaceAll(expected, "@TIME1@", times[0]);
    ReplaceAll(expected, "@TIME2@", times[1]);
    ReplaceAll(expected, "@ID1@", ids[0]);
    ReplaceAll(expected, "@ID2@", ids[1]);
    EXPECT_EQ(request.body, expected);
}

// Names and values with markup characters arrive as a well-formed document
// that gives them back unchanged.
TEST_F(TrackerTest, MarkupInNamesAndValuesSurvivesAConformingParser)
{
    const std::string name = "ODD_\"EVENT\"_<&>_'";
    const std::string path = "/Users/a&b/<Reel> \"Maker\" it's.app";
    const std::string error = "500 <html>&nbsp;</html> \xe2\x82\xac";
    const std::string bundle = "\"Quoted\" & <Co>";
    Settings::Set(ID::BundleName, bundle);

    TestServer server;
    server.Expect("POST", "/stats", Reply::Status(200), Times::Exactly(1));
    auto tracker = IStatisticsTracker::Create();
    tracker->TrackEvent(name, {{"PATH", path}, {"ERR<OR>", error}});
    tracker->Initialize(server.Url("/stats"), "key");
    ASSERT_TRUE(server.WaitForRequests("/stats", 1, 20s));
    tracker.reset();
    server.Stop();
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);

    const ParsedPackage package = ParsePackage(requests[0].body);
    ASSERT_TRUE(package.wellFormed) << package.error << "\n" << requests[0].body;
    EXPECT_EQ(package.rootName, "package");
    EXPECT_EQ(package.trackerAttribute, "1.0.0.0");
    ASSERT_EQ(package.events.size(), 1u);
    const ParsedEvent& event = package.events[0];
    EXPECT_EQ(event.name, name);
    EXPECT_EQ(event.Value("PATH"), path);
    EXPECT_EQ(event.Value("ERR<OR>"), error);
    EXPECT_EQ(event.Value("BUNDLE_NAME"), bundle);
    ASSERT_EQ(event.params.size(), 21u);
    EXPECT_EQ(event.params[19].name, "PATH");
    EXPECT_EQ(event.params[20].name, "ERR<OR>");

    // The parser is strict: the same kind of value written raw is refused.
    const ParsedPackage raw = ParsePackage(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package tracker=\"1.0.0.0\">\n"
        "\t<event name=\"E\">\n\t\t<param name=\"PATH\" type=\"text\" value=\"" +
        path + "\"/>\n\t</event>\n</package>\n");
    EXPECT_FALSE(raw.wellFormed);
}

// A collector that fails twice: attempts 100 ms and then 300 ms apart, the
// same events each time, joined by an event tracked during the pause, and no
// attempt after the success.
TEST_F(TrackerTest, RetriesAfterTheGrowingPausesUntilTheCollectorAccepts)
{
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    auto record = [&](int status) {
        return Reply::Custom([&, status](const httplib::Request&, httplib::Response& response) {
            std::lock_guard<std::mutex> lock(mutex);
            arrivals.push_back(Clock::now());
            response.status = status;
        });
    };
    TestServer server;
    server.Expect("POST", "/stats", record(500), Times::Exactly(2));
    server.Expect("POST", "/stats", record(200), Times::Exactly(1));

    auto tracker = IStatisticsTracker::Create();
    tracker->TrackEvent("BEFORE_INITIALIZE");
    tracker->Initialize(server.Url("/stats"), "key");
    ASSERT_TRUE(server.WaitForRequests("/stats", 1, 20s));
    tracker->TrackEvent("DURING_PAUSE");
    ASSERT_TRUE(server.WaitForRequests("/stats", 3, 20s));
    // Long enough for a wrongly scheduled fourth attempt to show.
    std::this_thread::sleep_for(1500ms);
    tracker.reset();
    server.Stop();

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(arrivals.size(), 3u);
        EXPECT_GE(arrivals[1] - arrivals[0], 80ms);
        EXPECT_GE(arrivals[2] - arrivals[1], 250ms);
    }
    const std::vector<std::string> first = ParamValues(requests[0].body, "UNIQUE_ID");
    ASSERT_GE(first.size(), 1u);
    const std::vector<std::string> last = ParamValues(requests[2].body, "UNIQUE_ID");
    ASSERT_EQ(last.size(), 2u);
    EXPECT_EQ(last[0], first[0]);
    EXPECT_EQ(ParamValues(requests[2].body, "PREVIOUS_EVENT"),
              (std::vector<std::string>{"", "BEFORE_INITIALIZE"}));
}

// With the collector failing, the destructor ends the pause at once and makes
// a last attempt that carries the event tracked during that pause.
TEST_F(TrackerTest, MakesALastAttemptAtShutdown)
{
    TestServer server;
    server.Expect("POST", "/stats", Reply::Status(503), Times::AtLeast(4));
    auto tracker = IStatisticsTracker::Create();
    tracker->TrackEvent("FIRST");
    tracker->Initialize(server.Url("/stats"), "key");
    // After the third failure the sender pauses for a second.
    ASSERT_TRUE(server.WaitForRequests("/stats", 3, 20s));
    tracker->TrackEvent("LAST");
    tracker.reset();
    server.Stop();

    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(ParamValues(requests.back().body, "PREVIOUS_EVENT"),
              (std::vector<std::string>{"", "FIRST"}));
}

// When nobody answers, shutdown waits for the attempt in flight and for its
// own last attempt, each bounded by the request time limit of 2 seconds.
TEST_F(TrackerTest, ShutdownWithAnUnreachableEndpointIsBoundedByTheRequestLimit)
{
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "endpoint that never answers" : "endpoint that refuses");
        std::unique_ptr<RefusingEndpoint> endpoint =
            silent ? std::make_unique<SilentEndpoint>() : std::make_unique<RefusingEndpoint>();
        auto tracker = IStatisticsTracker::Create();
        tracker->TrackEvent("ONE");
        tracker->Initialize(endpoint->Url(), "key");
        tracker->TrackEvent("TWO");
        // Lets the first attempt start, so that shutdown meets it in flight.
        std::this_thread::sleep_for(300ms);
        const Clock::time_point start = Clock::now();
        tracker.reset();
        const auto elapsed = Clock::now() - start;
        // Two bounded attempts take about 4 s; the margin makes this a check
        // that shutdown ends, not a measure of how fast, on a busy machine.
        EXPECT_LT(elapsed, 30s)
            << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
    }
}

// A second Initialize keeps the first endpoint; the second one hears nothing.
TEST_F(TrackerTest, SecondInitializeIsIgnored)
{
    TestServer first;
    first.Expect("POST", "/first", Reply::Status(200), Times::AtLeast(1));
    TestServer second; // expects nothing: any request fails the test

    auto tracker = IStatisticsTracker::Create();
    tracker->TrackEvent("ONE");
    tracker->Initialize(first.Url("/first"), "key-1");
    tracker->Initialize(second.Url("/second"), "key-2");
    tracker->TrackEvent("TWO");
    tracker.reset();
    first.Stop();
    second.Stop();

    std::vector<std::string> names;
    for (const RecordedRequest& request : first.Requests()) {
        EXPECT_EQ(request.query.rfind("key=key-1&", 0), 0u) << request.query;
        for (const std::string& previous : ParamValues(request.body, "PREVIOUS_EVENT")) {
            names.push_back(previous);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"", "ONE"}));
    EXPECT_TRUE(second.Requests().empty());
}

// The id fills the configured template's placeholder and nothing else: an
// id that itself holds "-key-" reaches the collector unchanged.
TEST_F(TrackerTest, IdHoldingThePlaceholderStaysAsItIs)
{
    const struct {
        const char* path;
        const char* id;
        const char* requestPath;
    } cases[] = {
        {"/stats", "promo-key-7", "/stats"},
        {"/stats/-key-", "promo-key-7", "/stats/promo-key-7"},
        {"/stats/-key-", "-key-", "/stats/-key-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.id);
        TestServer server;
        server.Expect("POST", c.requestPath, Reply::Status(200), Times::AtLeast(1));
        auto tracker = IStatisticsTracker::Create();
        tracker->Initialize(server.Url(c.path), c.id);
        tracker->TrackEvent("ONE");
        tracker.reset();
        server.Stop();
        const std::vector<RecordedRequest> requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].query.rfind("key=" + std::string(c.id) + "&version=", 0), 0u)
            << requests[0].query;
    }
}

} // namespace
} // namespace Zentak
