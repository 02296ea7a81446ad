#include <chrono>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "external/plist.h"
#include "service_fixture.h"
#include "sitemark/sitemark.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;

void StoreSitemark(const std::string& plistName, const std::string& id)
{
    Util::OpenZentakPlistDictionary(plistName)->SetString("SITEMARK", id);
}

using SitemarkManagerTest = SitemarkServiceTest;

TEST_F(SitemarkManagerTest, UserIdIsKeptOnlyWhenTheServiceKnowsIt)
{
    struct Case {
        const char* name;
        std::optional<std::string> stored; // nullopt: no user plist at all
        std::optional<bool> exists;        // the service's answer; nullopt: no request expected
        std::string userId;
    };
    const Case cases[] = {
        {"known id", std::string("user-known"), true, "user-known"},
        {"unknown id", std::string("user-unknown"), false, ""},
        {"empty id", std::string(""), std::nullopt, ""},
        {"no plist", std::nullopt, std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(PlistPath("user"));
        if (c.stored) {
            StoreSitemark("user", *c.stored);
        }
        if (c.exists) {
            ExpectJson("/used/" + *c.stored, {{"exist", *c.exists}});
        }
        App::SitemarkBudget budget = 5000ms;
        const App::SitemarkManager manager(budget);
        EXPECT_EQ(manager.getUserSitemark(), c.userId);
        // The manager only reads.
        EXPECT_EQ(std::filesystem::exists(PlistPath("user")), c.stored.has_value());
    }
}

TEST_F(SitemarkManagerTest, BudgetOfZeroLeavesTheUserIdEmpty)
{
    StoreSitemark("user", "user-1");
    App::SitemarkBudget budget = 0ms;
    const App::SitemarkManager manager(budget);
    EXPECT_EQ(manager.getUserSitemark(), "");
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(SitemarkManagerTest, StoredIdsAreReadRawAndGathered)
{
    StoreSitemark("user", "user-1");
    StoreSitemark("reelmaker24", "product-1");
    StoreSitemark("other", "product-1");
    StoreSitemark("third", "third-1");
    StoreSitemark("undefined", "UNDEFINED");
    Util::OpenZentakPlistDictionary("empty")->SetString("locale", "fr");
    // Not one of the maker's plists.
    Util::OpenPlistDictionary(Util::GetPlistDirectory() / "org.elsewhere.plist")
        ->SetString("SITEMARK", "foreign-1");
    ExpectJson("/used/user-1", {{"exist", true}});

    const App::SitemarkManager manager;
    EXPECT_EQ(manager.getUserSitemark(), "user-1");
    EXPECT_EQ(manager.getSitemarkFromRegistryKey("reelmaker24"), "product-1");
    EXPECT_EQ(manager.getSitemarkFromRegistryKey("missing"), "");
    // The user id is left out; duplicates collapse; nothing is validated.
    EXPECT_EQ(manager.getAvailableSitemarks(),
              (std::set<std::string>{"UNDEFINED", "product-1", "third-1"}));
    EXPECT_EQ(m_server.Requests().size(), 1u);
}

} // namespace
} // namespace Zentak::Test
