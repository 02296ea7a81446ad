#include "utils/ini_reader.h"

#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>

#include <boost/property_tree/ini_parser.hpp>
#include <gtest/gtest.h>

#include "utils/settings.h"

namespace Zentak::Util {
namespace {

namespace pt = boost::property_tree;

const std::string kIniDir = std::string(ZENTAK_TEST_DATA_DIR) + "/ini/";

// The tree as text: every node in order as key="data", children in braces,
// so that order, repeated names and empty values all show.
std::string Dump(const pt::ptree& tree)
{
    std::string text;
    for (const auto& [key, child] : tree) {
        text += key + "=\"" + child.data() + "\"";
        if (!child.empty()) {
            text += "{" + Dump(child) + "}";
        }
        text += ";";
    }
    return text;
}

pt::ptree ReadFixture(const std::string& name)
{
    std::ifstream stream(kIniDir + name, std::ios::binary);
    EXPECT_TRUE(stream) << name;
    pt::ptree tree;
    ReadIni(stream, tree);
    return tree;
}

TEST(IniReaderTest, ReadsSectionsAndKeysInFileOrder)
{
    const pt::ptree tree = ReadFixture("good.ini");
    EXPECT_EQ(Dump(tree),
              "Statistics=\"\"{Url=\"https://stats.zentak.example/collect\";Interval=\"30\";};"
              "Package1=\"\"{Name=\"Zentak Reel Maker\";"
              "Url=\"https://content.zentak.example/rm/ReelMaker.pkg\";"
              "Arguments=\"--quiet --no-restart\";};");
    EXPECT_EQ(tree.get<std::string>("Package1.Name"), "Zentak Reel Maker");
}

TEST(IniReaderTest, ReadsOddButValidSyntax)
{
    // CRLF line ends, blanks and tabs around names and values, comments,
    // keys before the first section, an empty section followed by a header,
    // a repeated section, "=" and comment characters inside values, keys
    // differing only in case, and a trailing empty section.
    const pt::ptree tree = ReadFixture("odd.ini");
    EXPECT_EQ(Dump(tree),
              "RootKey=\"root value\";"
              "Tabbed=\"tabs\";"
              "Main=\"\"{Url=\"https://host.example/a?b=c&d=e\";"
              "Comment=\"value ; not a comment\";"
              "Hash=\"#not a comment either\";"
              "Blank=\"\";};"
              "Main=\"\"{Url=\"second\";CaseKey=\"1\";casekey=\"2\";};");
    EXPECT_EQ(tree.count("Main"), 2u);
    EXPECT_EQ(tree.count("Empty"), 0u);
    EXPECT_EQ(tree.count("Trailing"), 0u);
}

TEST(IniReaderTest, CommentsAndBlankLinesOnlyGiveAnEmptyTree)
{
    pt::ptree tree;
    tree.put("stale", "value");
    std::ifstream stream(kIniDir + "only_comments.ini", std::ios::binary);
    ReadIni(stream, tree);
    EXPECT_TRUE(tree.empty());

    std::istringstream empty("");
    tree.put("stale", "value");
    ReadIni(empty, tree);
    EXPECT_TRUE(tree.empty());
}

TEST(IniReaderTest, ReportsSyntaxErrorsWithLineNumbersAndKeepsTheTree)
{
    const struct {
        const char* file;
        const char* message;
        unsigned long line;
    } cases[] = {
        {"broken_unmatched.ini", "unmatched '['", 3},
        {"broken_key_expected.ini", "key expected", 4},
        {"broken_no_equals.ini", "'=' character not found in line", 3},
        {"broken_duplicate.ini", "duplicate key name", 7},
        {"broken_duplicate_root.ini", "duplicate key name", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::ifstream stream(kIniDir + c.file, std::ios::binary);
        ASSERT_TRUE(stream);
        pt::ptree tree;
        tree.put("Kept.Key", "value");
        try {
            ReadIni(stream, tree);
            ADD_FAILURE() << "no error";
        } catch (const pt::ini_parser::ini_parser_error& error) {
            EXPECT_EQ(error.message(), c.message);
            EXPECT_EQ(error.line(), c.line);
            EXPECT_EQ(error.filename(), "");
            EXPECT_EQ(std::string(error.what()), "<unspecified file>(" + std::to_string(c.line) +
                                                     "): " + c.message);
        }
        EXPECT_EQ(Dump(tree), "Kept=\"\"{Key=\"value\";};");
    }
}

// Hands out its text, then fails the way a broken device would.
class FailingBuffer : public std::streambuf {
public:
    explicit FailingBuffer(std::string text) : text_(std::move(text)) {}

protected:
    int_type underflow() override
    {
        if (handedOut_) {
            throw std::ios_base::failure("device gone");
        }
        handedOut_ = true;
        setg(text_.data(), text_.data(), text_.data() + text_.size());
        return traits_type::to_int_type(text_[0]);
    }

private:
    std::string text_;
    bool handedOut_ = false;
};

TEST(IniReaderTest, ReportsReadErrorOnTheLineBeingRead)
{
    FailingBuffer buffer("[A]\nKey=1\n");
    std::istream stream(&buffer);
    pt::ptree tree;
    try {
        ReadIni(stream, tree);
        ADD_FAILURE() << "no error";
    } catch (const pt::ini_parser::ini_parser_error& error) {
        EXPECT_STREQ(error.what(), "<unspecified file>(3): read error");
    }
    EXPECT_TRUE(tree.empty());
}

TEST(FilenameTagsTest, Markers)
{
    EXPECT_STREQ(GetStagingTag(), "_STG");
    EXPECT_STREQ(GetSitemarkTag(), "_W");
}

TEST(FilenameTagsTest, ValueRunsFromTagToNextUnderscore)
{
    const struct {
        const char* name;
        const char* tag;
        const char* expected;
    } cases[] = {
        {"Setup_STG7_W123_", "_STG", "7"},
        {"Setup_STG7_W123_", "_W", "123"},
        {"Zentak Reel Maker Installer SetupE_STG12_", "_STG", "12"},
        // The value must be closed by an underscore.
        {"Setup_STG7_W123", "_W", ""},
        {"Setup_STG7", "_STG", ""},
        {"Setup", "_STG", ""},
        {"", "_W", ""},
        // Tags are case-sensitive; the first occurrence counts.
        {"Setup_stg7_", "_STG", ""},
        {"Setup_W1__W2_", "_W", "1"},
        {"Setup_W_", "_W", ""},
        // An empty tag is found at the start.
        {"abc_def", "", "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.tag);
        EXPECT_EQ(GetTaggedValueFromName(c.name, c.tag), c.expected);
    }
}

TEST(FilenameTagsTest, DistributionNameSettingIsHonoured)
{
    Settings::Set(Settings::ID::DistribName, std::string("Installer SetupC_STG3_W42_"));
    EXPECT_EQ(GetTaggedValueFromFilename(GetStagingTag()), "3");
    EXPECT_EQ(GetTaggedValueFromFilename(GetSitemarkTag()), "42");
    Settings::Set(Settings::ID::DistribName, std::string("Installer SetupC"));
    EXPECT_EQ(GetTaggedValueFromFilename(GetStagingTag()), "");
    Settings::Unset(Settings::ID::DistribName);
}

TEST(UrlTest, AppendStagingValue)
{
    const std::string config =
        "https://content.zentak.example/resources/webinstaller/release/rm/rm_mac_x64/resources/"
        "config.ini";
    const struct {
        std::string url;
        std::string staging;
        std::string expected;
    } cases[] = {
        {config, "",
         config},
        {config, "7",
         "https://content.zentak.example/resources/webinstaller/staging/7/rm/rm_mac_x64/"
         "resources/config.ini"},
        {"https://h.example/release/a/release.png", "2",
         "https://h.example/staging/2/a/staging/2.png"},
        {"https://h.example/none.png", "2", "https://h.example/none.png"},
        // The staging value is a format string of the regular-expression
        // replace: "$&" stands for the match, "$$" for one "$", "$1" for a
        // group the pattern does not have (nothing). This is how the
        // installer has always treated it; staging values are digits.
        {"https://h.example/release/", "$&", "https://h.example/staging/release/"},
        {"https://h.example/release/", "a$$b", "https://h.example/staging/a$b/"},
        {"https://h.example/release/", "x$1y", "https://h.example/staging/xy/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " / " + c.staging);
        EXPECT_EQ(AppendStagingValue(c.url, c.staging), c.expected);
    }
}

TEST(UrlTest, AddUrlQueryParameter)
{
    const struct {
        const char* url;
        const char* key;
        const char* value;
        const char* expected;
    } cases[] = {
        {"https://s.example/collect", "uid", "42", "https://s.example/collect?uid=42"},
        {"https://s.example/collect?a=1", "uid", "42", "https://s.example/collect?a=1&uid=42"},
        // Neither key nor value is encoded.
        {"https://s.example/c", "q", "a b&c", "https://s.example/c?q=a b&c"},
        // A "-key-" placeholder receives the value too (first one only).
        {"https://s.example/-uid-/x/-uid-", "uid", "42", "https://s.example/42/x/-uid-?uid=42"},
        {"https://s.example/c", "k", "", "https://s.example/c?k="},
        // A value is never searched for the placeholder.
        {"https://s.example/c", "key", "promo-key-7", "https://s.example/c?key=promo-key-7"},
        {"https://s.example/-key-/c", "key", "promo-key-7",
         "https://s.example/promo-key-7/c?key=promo-key-7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(AddUrlQueryParameter(c.url, c.key, c.value), c.expected);
    }
}

// The statistics endpoint is built in one go from the configured template:
// what one parameter brings can be no placeholder of the next.
TEST(UrlTest, BuildUrlFillsOnlyTheTemplatesPlaceholders)
{
    const struct {
        const char* url;
        UrlParameters parameters;
        const char* expected;
    } cases[] = {
        {"https://s.example/c", {{"key", "a-version-b"}, {"version", "1.0"}},
         "https://s.example/c?key=a-version-b&version=1.0"},
        {"https://s.example/-version-/-key-?x=1", {{"key", "-version-"}, {"version", "2"}},
         "https://s.example/2/-version-?x=1&key=-version-&version=2"},
        {"https://s.example/c", {}, "https://s.example/c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(BuildUrl(c.url, c.parameters), c.expected);
    }
}

} // namespace
} // namespace Zentak::Util
