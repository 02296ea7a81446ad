// The statistics tracker against real endpoints on 127.0.0.1: what reaches
// the collector byte for byte, the retry pauses, the last attempt at shutdown
// and how long shutdown may take when nobody answers.
#include <chrono>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "localization/translater.h"
#include "logic/tracker/event.h"
#include "logic/tracker/statistics_tracker.h"
#include "support/loopback_socket.h"
#include "support/test_environment.h"
#include "support/test_server.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "xml_check.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ID = Settings::ID;

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

// An event as the writer lays it out under the settings of the exact package
// test below: the parameters every event carries, then its own. The system
// layer's answers and the session id stand as @OS_BITS@, @SID@ and the like.
std::string ExpectedEvent(const std::string& name, const std::string& time, const std::string& id,
                          const std::string& previous, const std::string& previousId,
                          const std::string& ownParams = {})
{
    return "\t<event name=\"" + name + R"(">
		<param name="BUILD_NAME" type="text" value="build-7"/>
		<param name="BUNDLE_ID" type="text" value=""/>
		<param name="MODULE_NAME" type="text" value="webinstaller"/>
		<param name="VERSION" type="text" value="1.6.0"/>
		<param name="PRODUCT_VERSION" type="text" value="2.5.0.1"/>
		<param name="DATE_TIME" type="text" value=")" + time + R"("/>
		<param name="HUID" type="text" value="hw-abc"/>
		<param name="SITEMARK" type="text" value=""/>
		<param name="LANGUAGE" type="text" value="@LANGUAGE@"/>
		<param name="OS_BITS" type="numeric" value="@OS_BITS@"/>
		<param name="OS_EDITION" type="text" value="@OS_EDITION@"/>
		<param name="OS_NAME" type="text" value="@OS_NAME@"/>
		<param name="OS_VERSION" type="numeric" value="@OS_VERSION@"/>
		<param name="SID" type="text" value="@SID@"/>
		<param name="UNIQUE_ID" type="text" value=")" + id + R"("/>
		<param name="PREVIOUS_EVENT" type="text" value=")" + previous + R"("/>
		<param name="PREVIOUS_UNIQUE_ID" type="text" value=")" + previousId + R"("/>
		<param name="BUNDLE_NAME" type="text" value="Reel Bundle"/>
		<param name="BUNDLE_VERSION" type="text" value="UNDEFINED"/>
)" + ownParams + "\t</event>\n";
}

// Tracks with `track` before Initialize, then sends to a collector that takes
// one package and shuts the tracker down: `request` is what arrived.
void SendOnePackage(const std::function<void(IStatisticsTracker&)>& track, const std::string& key,
                    RecordedRequest& request)
{
    TestServer server;
    server.Expect("POST", "/stats", Reply::Status(200), Times::Exactly(1));
    auto tracker = IStatisticsTracker::Create();
    track(*tracker);
    tracker->Initialize(server.Url("/stats"), key);
    ASSERT_TRUE(server.WaitForRequests("/stats", 1, 20s));
    tracker.reset();
    server.Stop();
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    request = requests[0];
}

class TrackerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FixTimeZone();
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

    RecordedRequest request;
    ASSERT_NO_FATAL_FAILURE(SendOnePackage(
        [](IStatisticsTracker& tracker) {
            tracker.TrackEvent("FIRST_EVENT");
            tracker.TrackEvent("SECOND_EVENT", {{"REASON", "none"}, {"COUNT", "2"}});
        },
        "key-1", request));
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

    std::string expected =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package tracker=\"1.0.0.0\">\n" +
        ExpectedEvent("FIRST_EVENT", times[0], ids[0], "", "") +
        ExpectedEvent("SECOND_EVENT", times[1], ids[1], "FIRST_EVENT", ids[0],
                      "\t\t<param name=\"REASON\" type=\"text\" value=\"none\"/>\n"
                      "\t\t<param name=\"COUNT\" type=\"text\" value=\"2\"/>\n") +
        "</package>\n";
    // The system layer's own answers; they hold no markup characters.
    ReplaceAll(expected, "@OS_BITS@", Util::OSBits());
    ReplaceAll(expected, "@OS_EDITION@", Util::OSEdition());
    ReplaceAll(expected, "@OS_NAME@", Util::OSName());
    ReplaceAll(expected, "@OS_VERSION@", Util::OSVersion());
    ReplaceAll(expected, "@LANGUAGE@", Translater::GetDefaultLocale());
    ReplaceAll(expected, "@SID@", Tracking::Event::m_sid);
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

    RecordedRequest request;
    ASSERT_NO_FATAL_FAILURE(SendOnePackage(
        [&](IStatisticsTracker& tracker) {
            tracker.TrackEvent(name, {{"PATH", path}, {"ERR<OR>", error}});
        },
        "key", request));

    const ParsedPackage package = ParsePackage(request.body);
    ASSERT_TRUE(package.wellFormed) << package.error << "\n" << request.body;
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
        const LoopbackSocket endpoint(silent ? LoopbackSocket::State::Listening
                                             : LoopbackSocket::State::Bound);
        auto tracker = IStatisticsTracker::Create();
        tracker->TrackEvent("ONE");
        tracker->Initialize("http://127.0.0.1:" + std::to_string(endpoint.Port()) + "/stats",
                            "key");
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
} // namespace Zentak::Test
