#include "logic/tracker/events.h"

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace Zentak {
namespace {

// What docs/statistics.md says: the events of its table with the parameter
// keys of each row, and the events of its normal run.
struct Document {
    std::multiset<std::string> events;
    std::set<std::string> params;
    std::set<std::string> prefixes;
    std::vector<std::string> normalRun;
};

Document ReadDocument()
{
    const std::string path = std::string(ZENTAK_TEST_DATA_DIR) + "/../../docs/statistics.md";
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    const std::regex row(R"(^\| `([A-Z_]+)` \|[^|]*\|(.*)\|$)");
    const std::regex step(R"(^[0-9]+\. (.*)$)");
    const std::regex code("`([A-Z_]+)`");
    Document document;
    std::string line;
    bool inNormalRun = false;
    while (std::getline(file, line)) {
        if (line.rfind("## ", 0) == 0) {
            inNormalRun = line == "## A normal run";
        }
        std::smatch match;
        if (std::regex_match(line, match, row)) {
            document.events.insert(match[1]);
            const std::string params = match[2];
            for (std::sregex_iterator it(params.begin(), params.end(), code), end; it != end; ++it) {
                const std::string key = (*it)[1];
                (key.back() == '_' ? document.prefixes : document.params).insert(key);
            }
        } else if (inNormalRun && std::regex_match(line, match, step)) {
            const std::string names = match[1];
            for (std::sregex_iterator it(names.begin(), names.end(), code), end; it != end; ++it) {
                document.normalRun.push_back((*it)[1]);
            }
        }
    }
    return document;
}

template <typename List>
std::set<std::string> AsSet(const List& list)
{
    return std::set<std::string>(list.begin(), list.end());
}

TEST(StatisticsCatalogue, HoldsEachNameOnce)
{
    EXPECT_EQ(AsSet(Events::kAll).size(), Events::kAll.size());
    EXPECT_EQ(AsSet(EventParam::kCallers).size(), EventParam::kCallers.size());
    EXPECT_EQ(AsSet(EventParam::kCommon).size(), EventParam::kCommon.size());
    // A caller's key equal to a tracker's own would put two values of one
    // name in the same event.
    for (std::string_view key : EventParam::kCallers) {
        EXPECT_EQ(AsSet(EventParam::kCommon).count(std::string(key)), 0u) << key;
    }
}

TEST(StatisticsCatalogue, DocumentListsEveryEventAndKeyOfTheCatalogue)
{
    const Document document = ReadDocument();
    EXPECT_EQ(AsSet(document.events), AsSet(Events::kAll));
    EXPECT_EQ(document.events.size(), Events::kAll.size()) << "an event has two rows";
    EXPECT_EQ(document.params, AsSet(EventParam::kCallers));
    EXPECT_EQ(document.prefixes, std::set<std::string>{EventParam::kNotValidPrefix});

    ASSERT_FALSE(document.normalRun.empty());
    for (const std::string& name : document.normalRun) {
        EXPECT_EQ(AsSet(Events::kAll).count(name), 1u) << name;
    }
    EXPECT_EQ(document.normalRun.front(), Events::kNewSitemark);
    EXPECT_EQ(document.normalRun.back(), Events::kBundleInstallFinished);
}

} // namespace
} // namespace Zentak
