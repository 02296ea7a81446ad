#include "utils/string_utils.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Zentak::Util {
namespace {

TEST(StringUtilsTest, TrimRemovesAsciiWhitespaceAtBothEndsOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {" \t  inner text\r", "inner text"},
        {"\n\v\f a  b \r\n", "a  b"},
        {"plain", "plain"},
        {"", ""},
        {" \t\r\n", ""},
        // UTF-8 bytes are never whitespace: U+00A0 (C2 A0) and U+3000
        // (E3 80 80) stay, so no multi-byte sequence is cut.
        {"\xc2\xa0x\xc2\xa0", "\xc2\xa0x\xc2\xa0"},
        {" \xe3\x80\x80 ", "\xe3\x80\x80"},
        {"\x85word\xa0", "\x85word\xa0"},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        std::string inPlace = input;
        Trim(inPlace);
        EXPECT_EQ(inPlace, expected);
        EXPECT_EQ(std::string(Trim(std::string_view(input))), expected);
    }
}

TEST(StringUtilsTest, TrimViewPointsIntoItsInput)
{
    const std::string text = "  abc  ";
    const std::string_view trimmed = Trim(std::string_view(text));
    EXPECT_EQ(trimmed.data(), text.data() + 2);
    EXPECT_EQ(trimmed.size(), 3u);
}

TEST(StringUtilsTest, SplitDropsEmptyPieces)
{
    using Pieces = std::vector<std::string>;
    const struct {
        std::string text;
        char separator;
        Pieces expected;
    } cases[] = {
        {"..10..15.7.", '.', {"10", "15", "7"}},
        {"a b  c", ' ', {"a", "b", "c"}},
        {"single", '.', {"single"}},
        {"", '.', {}},
        {"...", '.', {}},
        {"-x", '-', {"x"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Split(c.text, c.separator), c.expected);
    }
}

TEST(StringUtilsTest, ReplaceAll)
{
    const struct {
        std::string text;
        std::string pattern;
        std::string replacement;
        std::string expected;
    } cases[] = {
        {"aaa", "a", "b", "bbb"},
        {"aaa", "a", "", "aaa"},
        {"aaa", "", "b", "aaa"},
        {"", "a", "b", ""},
        // Non-overlapping, left to right.
        {"aaaa", "aa", "x", "xx"},
        {"aaa", "aa", "x", "xa"},
        // An inserted replacement is not scanned again.
        {"a-a", "a", "aa", "aa-aa"},
        {"Hello %NAME%, %NAME%!", "%NAME%", "Ann", "Hello Ann, Ann!"},
        {"no match", "zz", "y", "no match"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " / " + c.pattern + " / " + c.replacement);
        EXPECT_EQ(ReplaceAll(c.text, c.pattern, c.replacement), c.expected);
    }
}

TEST(StringUtilsTest, CaseChangesAsciiLettersOnly)
{
    // "Ünïcode" in UTF-8: the multi-byte sequences pass unchanged.
    const std::string mixed = "Ab1-\xc3\x9cn\xc3\xaf" "code";
    EXPECT_EQ(ToLower(mixed), "ab1-\xc3\x9cn\xc3\xaf" "code");
    EXPECT_EQ(ToUpper(mixed), "AB1-\xc3\x9cN\xc3\xaf" "CODE");
    EXPECT_EQ(ToLower(""), "");
}

TEST(StringUtilsTest, StartsWith)
{
    const struct {
        const char* text;
        const char* prefix;
        bool expected;
    } cases[] = {
        {"ZentakWebInstaller-1", "ZentakWebInstaller-", true},
        {"ZentakWebInstaller", "ZentakWebInstaller-", false},
        {"abc", "", true},
        {"", "", true},
        {"", "a", false},
        {"Abc", "a", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.prefix);
        EXPECT_EQ(StartsWith(c.text, c.prefix), c.expected);
    }
}

TEST(StringUtilsTest, FixLocaleNameChangesOnlyTheFirstHyphen)
{
    EXPECT_EQ(FixLocaleName("de-DE"), "de_DE");
    EXPECT_EQ(FixLocaleName("zh-Hans-CN"), "zh_Hans-CN");
    EXPECT_EQ(FixLocaleName("en_US"), "en_US");
    EXPECT_EQ(FixLocaleName(""), "");
}

TEST(StringUtilsTest, WideConversionRoundTrips)
{
    // e-acute (2 bytes), euro sign (3 bytes), an emoji (4 bytes).
    const std::string utf8 = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::wstring wide = {L'a', wchar_t(0xE9), wchar_t(0x20AC), wchar_t(0x1F600)};
    EXPECT_EQ(ToWide(utf8), wide);
    EXPECT_EQ(ToMultiByte(wide), utf8);
    EXPECT_EQ(ToWide(""), L"");
}

} // namespace
} // namespace Zentak::Util
