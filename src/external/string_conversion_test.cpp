#include "external/string_conversion.h"

#include <gtest/gtest.h>

namespace Zentak::Core {
namespace {

struct DecodeCase {
    const char* name;
    std::string utf8;
    std::wstring wide;
};

TEST(StringConversionTest, DecodesUtf8AndReplacesEachIllFormedSubsequence)
{
    const DecodeCase cases[] = {
        {"empty", "", L""},
        {"ascii", "Reel Maker 24", L"Reel Maker 24"},
        {"two, three and four bytes", "\xC3\xBC\xE2\x9C\x93\xF0\x9F\x8E\xAC",
         {0xFC, 0x2713, 0x1F3AC}},
        {"embedded nul", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"highest code point", "\xF4\x8F\xBF\xBF", {0x10FFFF}},
        {"lone continuation byte", "a\x80z", {L'a', 0xFFFD, L'z'}},
        {"invalid lead bytes", "\xC0\xC1\xF5\xFF", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
        {"overlong slash", "\xC0\xAF", {0xFFFD, 0xFFFD}},
        {"overlong three bytes", "\xE0\x80\xAF", {0xFFFD, 0xFFFD, 0xFFFD}},
        {"encoded surrogate", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
        {"truncated at the end", "ok\xE2\x9C", {L'o', L'k', 0xFFFD}},
        {"truncated before ascii", "\xF0\x9F\x8E" "x", {0xFFFD, L'x'}},
        {"broken sequence restarts at the breaking byte", "\xE2\xC3\xBC", {0xFFFD, 0xFC}},
    };
    for (const DecodeCase& c : cases) {
        EXPECT_EQ(WstringFromUtf8(c.utf8), c.wide) << c.name;
    }
}

TEST(StringConversionTest, EncodesWideStringsAndReplacesInvalidCodePoints)
{
    const DecodeCase cases[] = {
        {"empty", "", L""},
        {"every length", "A\xC3\xBC\xE2\x9C\x93\xF0\x9F\x8E\xAC", {L'A', 0xFC, 0x2713, 0x1F3AC}},
        {"boundaries", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80",
         {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000}},
        {"surrogates", "\xEF\xBF\xBD\xEF\xBF\xBD", {0xD800, 0xDFFF}},
        {"beyond U+10FFFF and negative", "\xEF\xBF\xBD\xEF\xBF\xBD",
         {static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)}},
    };
    for (const DecodeCase& c : cases) {
        EXPECT_EQ(Utf8FromWstring(c.wide), c.utf8) << c.name;
    }
}

TEST(StringConversionTest, RoundTripKeepsValidText)
{
    const std::string text = "Zentak Reel Maker \xE2\x9C\x93 \xE2\x80\x94 \xC3\x9Cn\xC3\xAF"
                             "c\xC3\xB6" "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
    EXPECT_EQ(Utf8FromWstring(WstringFromUtf8(text)), text);
}

} // namespace
} // namespace Zentak::Core
