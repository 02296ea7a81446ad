#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "external/plist.h"
#include "logic/helpers/sitemark_provider.h"
#include "service_fixture.h"
#include "utils/settings.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;

// Stands in for the statistics tracker: only what it was given matters here.
class RecordingTracker : public IStatisticsTracker {
public:
    void Initialize(const std::string&, const std::string&) override {}
    void TrackEvent(std::string name, const EventParameters& params) override
    {
        events.emplace_back(std::move(name), params);
    }

    std::vector<std::pair<std::string, EventParameters>> events;
};

struct ServiceReply {
    std::string path;
    nlohmann::json body;
    std::size_t times;
};

class SitemarkProviderTest : public SitemarkServiceTest {
protected:
    SitemarkProviderTest() { Settings::Set(Settings::ID::HardwareId, std::string("hw-0001")); }
    ~SitemarkProviderTest() override
    {
        Settings::Unset(Settings::ID::SitemarkId);
        Settings::Unset(Settings::ID::HardwareId);
    }

    void Store(const std::string& plistName, const std::string& id)
    {
        if (!id.empty()) {
            Util::OpenZentakPlistDictionary(plistName)->SetString("SITEMARK", id);
        }
    }

    // The file's inode: the plist layer replaces the file on every write.
    ino_t UserPlistInode() const
    {
        struct stat status {};
        return ::stat(PlistPath("user").c_str(), &status) == 0 ? status.st_ino : 0;
    }

    void ExpectUserPlistHolds(const std::string& id) const
    {
        EXPECT_EQ(Util::OpenZentakPlistDictionary("user")->GetString("SITEMARK"), id);
        const std::string xml = ReadFile(PlistPath("user"));
        EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos) << xml;
        EXPECT_TRUE(std::regex_search(xml, std::regex("<key>SITEMARK</key>\\s*<string>" + id + "</string>")))
            << xml;
    }

    RecordingTracker& Resolve(std::string* result)
    {
        *result = SitemarkProvider::GetSitemark(m_tracker);
        return *m_tracker;
    }

    std::shared_ptr<RecordingTracker> m_tracker = std::make_shared<RecordingTracker>();
};

TEST_F(SitemarkProviderTest, ChoosesStoresLinksAndReportsInOrder)
{
    struct Scenario {
        const char* name;
        std::string userId;
        std::string productId;
        std::string fileTag;
        std::vector<ServiceReply> replies;
        std::string result;
        EventParameters parameters;
        std::vector<std::string> targets; // below the service root
        bool userPlistWritten;
    };
    const std::vector<Scenario> scenarios = {
        {"user and product ids valid",
         "user-1",
         "product-1",
         "",
         {{"/used/user-1", {{"exist", true}}, 2},
          {"/used/product-1", {{"exist", true}}, 1},
          {"/link/batch", {{"success", true}}, 1}},
         "user-1",
         {{"REG_USER_SITEMARK", "user-1"},
          {"REG_PRODUCT_SITEMARK", "product-1"},
          {"NOT_VALID_FILE_SITEMARK", ""},
          {"MERGE_SITEMARK_RESULT", "success"}},
         {"/used/user-1", "/used/user-1", "/used/product-1", "/link/batch?main_id=user-1&link_id[]=product-1"},
         false},
        {"link refused",
         "user-1",
         "product-1",
         "",
         {{"/used/user-1", {{"exist", true}}, 2},
          {"/used/product-1", {{"exist", true}}, 1},
          {"/link/batch", {{"success", false}}, 1}},
         "user-1",
         {{"REG_USER_SITEMARK", "user-1"},
          {"REG_PRODUCT_SITEMARK", "product-1"},
          {"NOT_VALID_FILE_SITEMARK", ""},
          {"MERGE_SITEMARK_RESULT", "fail"}},
         {"/used/user-1", "/used/user-1", "/used/product-1", "/link/batch?main_id=user-1&link_id[]=product-1"},
         false},
        {"all three equal",
         "same-1",
         "same-1",
         "same-1",
         {{"/used/same-1", {{"exist", true}}, 4}},
         "same-1",
         {{"REG_USER_SITEMARK", "same-1"},
          {"REG_PRODUCT_SITEMARK", "same-1"},
          {"FILE_SITEMARK", "same-1"},
          {"MERGE_SITEMARK_RESULT", "not attempted"}},
         {"/used/same-1", "/used/same-1", "/used/same-1", "/used/same-1"},
         false},
        {"nothing stored",
         "",
         "",
         "",
         {{"/generate", {{"id", "new-1"}}, 1}},
         "new-1",
         {{"NOT_VALID_REG_USER_SITEMARK", ""},
          {"NOT_VALID_REG_PRODUCT_SITEMARK", ""},
          {"NOT_VALID_FILE_SITEMARK", ""},
          {"API_SITEMARK", "new-1"},
          {"MERGE_SITEMARK_RESULT", "not attempted"}},
         {"/generate"},
         true},
        {"file tag valid, user id not",
         "user-old",
         "",
         "file-1",
         {{"/used/user-old", {{"exist", false}}, 1}, {"/used/file-1", {{"exist", true}}, 1}},
         "file-1",
         // The manager's user id is the validated one: empty here.
         {{"NOT_VALID_REG_USER_SITEMARK", ""},
          {"NOT_VALID_REG_PRODUCT_SITEMARK", ""},
          {"FILE_SITEMARK", "file-1"},
          {"MERGE_SITEMARK_RESULT", "not attempted"}},
         {"/used/user-old", "/used/file-1"},
         true},
        {"product id chosen, file tag linked",
         "",
         "product-2",
         "file-2",
         {{"/used/product-2", {{"exist", true}}, 1},
          {"/used/file-2", {{"exist", true}}, 1},
          {"/link/batch", {{"success", true}}, 1}},
         "product-2",
         {{"NOT_VALID_REG_USER_SITEMARK", ""},
          {"REG_PRODUCT_SITEMARK", "product-2"},
          {"FILE_SITEMARK", "file-2"},
          {"MERGE_SITEMARK_RESULT", "success"}},
         {"/used/product-2", "/used/file-2", "/link/batch?main_id=product-2&link_id[]=file-2"},
         true},
    };
    std::size_t targetsBefore = 0;
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        std::filesystem::remove(PlistPath("user"));
        std::filesystem::remove(PlistPath("reelmaker24"));
        Store("user", s.userId);
        Store("reelmaker24", s.productId);
        Settings::Set(Settings::ID::SitemarkId, s.fileTag);
        for (const ServiceReply& reply : s.replies) {
            ExpectJson(reply.path, reply.body, Times::Exactly(reply.times));
        }
        const ino_t inodeBefore = UserPlistInode();
        m_tracker->events.clear();

        std::string result;
        const RecordingTracker& tracker = Resolve(&result);

        EXPECT_EQ(result, s.result);
        EXPECT_EQ(Settings::GetString(Settings::ID::SitemarkId), s.result);
        ASSERT_EQ(tracker.events.size(), 1u);
        EXPECT_EQ(tracker.events[0].first, "WI_NEW_SITEMARK");
        EXPECT_EQ(tracker.events[0].second, s.parameters);

        const std::vector<std::string> all = Targets();
        std::vector<std::string> expectedTargets;
        for (const std::string& target : s.targets) {
            expectedTargets.push_back(kServiceRoot + target);
        }
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(std::min(targetsBefore, all.size())),
                                           all.end()),
                  expectedTargets);
        targetsBefore = all.size();

        if (s.userPlistWritten) {
            ExpectUserPlistHolds(s.result);
        } else {
            EXPECT_EQ(UserPlistInode(), inodeBefore);
            ExpectUserPlistHolds(s.userId);
        }
    }
}

TEST_F(SitemarkProviderTest, UnreachableServiceFallsBackToTheHardwareId)
{
    Store("user", "user-1");
    Store("reelmaker24", "product-1");
    const ino_t inodeBefore = UserPlistInode();
    struct Case {
        const char* name;
        std::string hardwareId;
    };
    const Case cases[] = {{"hardware id", "hw-0001"}, {"no hardware id", ""}};
    DroppingPort dropping;
    ScopedEnvironment service("ZENTAK_UID_SERVICE_URL", dropping.Url(kServiceRoot));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings::Set(Settings::ID::SitemarkId, std::string("file-1"));
        Settings::Set(Settings::ID::HardwareId, c.hardwareId);
        m_tracker->events.clear();

        std::string result;
        const RecordingTracker& tracker = Resolve(&result);

        EXPECT_EQ(result, c.hardwareId);
        EXPECT_EQ(Settings::GetString(Settings::ID::SitemarkId), c.hardwareId);
        ASSERT_EQ(tracker.events.size(), 1u);
        EXPECT_EQ(tracker.events[0].second, (EventParameters{{"NOT_VALID_REG_USER_SITEMARK", ""},
                                                             {"NOT_VALID_REG_PRODUCT_SITEMARK", "product-1"},
                                                             {"NOT_VALID_FILE_SITEMARK", "file-1"},
                                                             {"MERGE_SITEMARK_RESULT", "not attempted"}}));
    }
    // The hardware id is never stored.
    EXPECT_EQ(UserPlistInode(), inodeBefore);
    ExpectUserPlistHolds("user-1");
    EXPECT_GE(dropping.Dropped(), 2);
}

TEST_F(SitemarkProviderTest, SilentServiceCostsAboutTheBudget)
{
    Store("user", "user-1");
    Settings::Set(Settings::ID::SitemarkId, std::string("file-1"));
    SilentPort silent;
    ScopedEnvironment service("ZENTAK_UID_SERVICE_URL", silent.Url(kServiceRoot));

    const auto started = std::chrono::steady_clock::now();
    std::string result;
    const RecordingTracker& tracker = Resolve(&result);
    // Generous bound: five seconds of budget, not five requests' worth.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

    EXPECT_EQ(result, "hw-0001");
    ASSERT_EQ(tracker.events.size(), 1u);
    EXPECT_EQ(tracker.events[0].second, (EventParameters{{"NOT_VALID_REG_USER_SITEMARK", ""},
                                                         {"NOT_VALID_REG_PRODUCT_SITEMARK", ""},
                                                         {"NOT_VALID_FILE_SITEMARK", "file-1"},
                                                         {"MERGE_SITEMARK_RESULT", "not attempted"}}));
}

TEST_F(SitemarkProviderTest, FailedUserPlistWriteKeepsTheChoice)
{
    // A folder where the user plist belongs cannot be replaced by a file.
    std::filesystem::create_directories(PlistPath("user"));
    std::filesystem::create_directories(PlistPath("user") / "keep");
    Settings::Set(Settings::ID::SitemarkId, std::string("file-1"));
    ExpectJson("/used/file-1", {{"exist", true}});

    std::string result;
    const RecordingTracker& tracker = Resolve(&result);

    EXPECT_EQ(result, "file-1");
    ASSERT_EQ(tracker.events.size(), 1u);
    EXPECT_EQ(tracker.events[0].second, (EventParameters{{"NOT_VALID_REG_USER_SITEMARK", ""},
                                                         {"NOT_VALID_REG_PRODUCT_SITEMARK", ""},
                                                         {"FILE_SITEMARK", "file-1"},
                                                         {"MERGE_SITEMARK_RESULT", "not attempted"}}));
    EXPECT_TRUE(std::filesystem::is_directory(PlistPath("user")));
}

} // namespace
} // namespace Zentak::Test
