#include "logic/tracker/event.h"

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "localization/translater.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"

namespace Zentak::Tracking {
namespace {

using ID = Settings::ID;

const std::regex kUuidShape("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

TEST(XmlEscapeTest, ReplacesMarkupAndKeepsOtherTextByteForByte)
{
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"plain text 1.2.3", "plain text 1.2.3"},
        {"a&b", "a&amp;b"},
        {"<tag>", "&lt;tag&gt;"},
        {"say \"hi\"", "say &quot;hi&quot;"},
        {"it's", "it&apos;s"},
        {"&amp;", "&amp;amp;"},
        {"/Applications/Reel Maker.app", "/Applications/Reel Maker.app"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        // The largest code point, the replacement character itself, a
        // four-byte character and DEL and C1 controls, which XML allows.
        {"\xf4\x8f\xbf\xbf \xef\xbf\xbd \xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf \xef\xbf\xbd \xf0\x9f\x98\x80"},
        {"\x7f\xc2\x80\xc2\x9f", "\x7f\xc2\x80\xc2\x9f"},
        {"\xef\xbf\xbd\xee\x80\x80\xed\x9f\xbf", "\xef\xbf\xbd\xee\x80\x80\xed\x9f\xbf"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(XmlEscape(c.input), c.expected) << "input: " << c.input;
    }
}

// A parser normalises white space in attributes to spaces; as references the
// three characters survive.
TEST(XmlEscapeTest, WritesTabLineFeedAndCarriageReturnAsReferences)
{
    EXPECT_EQ(XmlEscape("tab\tline\nend\r\n"), "tab&#9;line&#10;end&#13;&#10;");
}

// What an XML document cannot hold becomes U+FFFD: one for each control
// character and non-character, one for each maximal subpart of an ill-formed
// sequence; the text around it is kept.
TEST(XmlEscapeTest, ReplacesWhatXmlCannotHoldByTheReplacementCharacter)
{
    const std::string r = "\xef\xbf\xbd";
    const struct {
        std::string input;
        std::string expected;
        const char* what;
    } cases[] = {
        {std::string("a\0b", 3), "a" + r + "b", "NUL"},
        {"\x01\x08\x0b\x0c\x0e\x1f", r + r + r + r + r + r, "C0 controls"},
        {"x\xef\xbf\xbey\xef\xbf\xbfz", "x" + r + "y" + r + "z", "U+FFFE and U+FFFF"},
        {"\x80", r, "lone continuation byte"},
        {"\x80\xbf", r + r, "two continuation bytes"},
        {"\xff\xfe", r + r, "bytes that never occur"},
        {"\xc0\xaf", r + r, "overlong slash"},
        {"\xe0\x80\xaf", r + r + r, "overlong three-byte form"},
        {"\xed\xa0\x80", r + r + r, "surrogate"},
        {"\xf4\x90\x80\x80", r + r + r + r, "past U+10FFFF"},
        {"\xf5\x80", r + r, "lead byte past U+10FFFF"},
        {"\xe2\x82", r, "truncated at the end"},
        {"\xe2\x82x", r + "x", "truncated before ASCII"},
        {"\xf0\x9f\x98\xe2\x82\xac", r + "\xe2\x82\xac", "truncated before a whole character"},
        {"\xc3<\xc3\xa9", r + "&lt;\xc3\xa9", "truncated before markup"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(XmlEscape(c.input), c.expected) << c.what;
    }
}

TEST(XmlEscapeTest, EveryByteValueGivesTextAnXmlDocumentCanHold)
{
    // Each byte alone: ASCII text and markup give themselves or their
    // entity, white space a reference, the rest one replacement character.
    for (int byte = 0; byte < 256; ++byte) {
        const std::string escaped = XmlEscape(std::string(1, static_cast<char>(byte)));
        SCOPED_TRACE(byte);
        if (byte == '\t' || byte == '\n' || byte == '\r') {
            EXPECT_EQ(escaped, "&#" + std::to_string(byte) + ";");
        } else if (byte < 0x20 || byte >= 0x80) {
            EXPECT_EQ(escaped, "\xef\xbf\xbd");
        } else if (std::string("&<>\"'").find(static_cast<char>(byte)) != std::string::npos) {
            EXPECT_EQ(escaped.front(), '&');
            EXPECT_EQ(escaped.back(), ';');
        } else {
            EXPECT_EQ(escaped, std::string(1, static_cast<char>(byte)));
        }
    }
}

TEST(EventFragmentTest, WritesTabIndentedLinesWithEscapedNamesAndValues)
{
    const std::string fragment = BuildEventFragment(
        "NAME<1>", {{"A", "1"}, {"B", "x\"y&z", "numeric"}, {"C'", ""}});
    EXPECT_EQ(fragment,
              "\t<event name=\"NAME&lt;1&gt;\">\n"
              "\t\t<param name=\"A\" type=\"text\" value=\"1\"/>\n"
              "\t\t<param name=\"B\" type=\"numeric\" value=\"x&quot;y&amp;z\"/>\n"
              "\t\t<param name=\"C&apos;\" type=\"text\" value=\"\"/>\n"
              "\t</event>\n");
    EXPECT_EQ(BuildEventFragment("EMPTY", {}), "\t<event name=\"EMPTY\">\n\t</event>\n");
    // The type is escaped like the rest, and text an XML document cannot
    // hold never reaches the fragment.
    EXPECT_EQ(BuildEventFragment("E\x01", {{"N\n", "v\xff\t", "a\"b"}}),
              "\t<event name=\"E\xef\xbf\xbd\">\n"
              "\t\t<param name=\"N&#10;\" type=\"a&quot;b\" value=\"v\xef\xbf\xbd&#9;\"/>\n"
              "\t</event>\n");
}

TEST(PackageTest, WrapsFragmentsInOrder)
{
    EXPECT_EQ(BuildPackage({}),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package tracker=\"1.0.0.0\">\n"
              "</package>\n");
    EXPECT_EQ(BuildPackage({"first\n", "second\n"}),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package tracker=\"1.0.0.0\">\n"
              "first\nsecond\n</package>\n");
}

TEST(UuidTest, HasTheVersionFourLayoutAndDoesNotRepeat)
{
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::string uuid = GenerateUUIDv4String();
        ASSERT_TRUE(std::regex_match(uuid, kUuidShape)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_TRUE(std::regex_match(Event::m_sid, kUuidShape)) << Event::m_sid;
}

TEST(LocalTimeTest, FormatsTheLocalTime)
{
    const char* previous = std::getenv("TZ");
    const std::string saved = previous ? previous : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(FormatLocalTime(std::chrono::system_clock::from_time_t(0)), "1970-01-01T00:00:00");
    EXPECT_EQ(FormatLocalTime(std::chrono::system_clock::from_time_t(1700000000)),
              "2023-11-14T22:13:20");
    // A POSIX zone rule needs no time-zone database: five and a half hours east.
    setenv("TZ", "XST-5:30", 1);
    tzset();
    EXPECT_EQ(FormatLocalTime(std::chrono::system_clock::from_time_t(0)), "1970-01-01T05:30:00");
    if (previous) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

class StandardParamsTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSettings(); }
    void TearDown() override { ClearSettings(); }

    static void ClearSettings()
    {
        for (ID id : {ID::BuildName, ID::ProductId, ID::ModuleName, ID::ProductVersion,
                      ID::HardwareId, ID::SitemarkId, ID::Locale, ID::BundleName,
                      ID::BundleVersion}) {
            Settings::Unset(id);
        }
    }

    static std::string ValueOf(const std::vector<Event::Param>& params, const std::string& name)
    {
        for (const Event::Param& param : params) {
            if (param.name == name) {
                return param.value;
            }
        }
        ADD_FAILURE() << "no parameter " << name;
        return {};
    }
};

TEST_F(StandardParamsTest, NamesTypesAndOrder)
{
    const std::vector<Event::Param> params = StandardEventParams({"id-2", "PREVIOUS", "id-1"});
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"BUILD_NAME", "text"},     {"BUNDLE_ID", "text"},          {"MODULE_NAME", "text"},
        {"VERSION", "text"},        {"PRODUCT_VERSION", "text"},    {"DATE_TIME", "text"},
        {"HUID", "text"},           {"SITEMARK", "text"},           {"LANGUAGE", "text"},
        {"OS_BITS", "numeric"},     {"OS_EDITION", "text"},         {"OS_NAME", "text"},
        {"OS_VERSION", "numeric"},  {"SID", "text"},                {"UNIQUE_ID", "text"},
        {"PREVIOUS_EVENT", "text"}, {"PREVIOUS_UNIQUE_ID", "text"}, {"BUNDLE_NAME", "text"},
        {"BUNDLE_VERSION", "text"},
    };
    ASSERT_EQ(params.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(params[i].name, expected[i].first) << "position " << i;
        EXPECT_EQ(params[i].type, expected[i].second) << params[i].name;
    }
    EXPECT_EQ(ValueOf(params, "VERSION"), "1.6.0");
    EXPECT_EQ(ValueOf(params, "SID"), Event::m_sid);
    EXPECT_EQ(ValueOf(params, "UNIQUE_ID"), "id-2");
    EXPECT_EQ(ValueOf(params, "PREVIOUS_EVENT"), "PREVIOUS");
    EXPECT_EQ(ValueOf(params, "PREVIOUS_UNIQUE_ID"), "id-1");
    EXPECT_EQ(ValueOf(params, "OS_BITS"), Util::OSBits());
    EXPECT_EQ(ValueOf(params, "OS_EDITION"), Util::OSEdition());
    EXPECT_EQ(ValueOf(params, "OS_NAME"), Util::OSName());
    EXPECT_EQ(ValueOf(params, "OS_VERSION"), Util::OSVersion());
    EXPECT_TRUE(std::regex_match(ValueOf(params, "DATE_TIME"),
                                 std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d")));
}

// A setting that holds nothing gives the default; one that holds an empty
// text gives an empty value; a value that is not text (a bare command-line
// flag) counts as holding nothing rather than breaking the event.
TEST_F(StandardParamsTest, SettingsGiveTheirValueEmptyOrDefault)
{
    const struct {
        ID id;
        const char* param;
        const char* fallback;
    } cases[] = {
        {ID::BuildName, "BUILD_NAME", "webinstaller"},
        {ID::ProductId, "BUNDLE_ID", ""},
        {ID::ModuleName, "MODULE_NAME", "webinstaller"},
        {ID::ProductVersion, "PRODUCT_VERSION", "1.0.0.0"},
        {ID::HardwareId, "HUID", ""},
        {ID::SitemarkId, "SITEMARK", ""},
        {ID::BundleName, "BUNDLE_NAME", "UNDEFINED"},
        {ID::BundleVersion, "BUNDLE_VERSION", "UNDEFINED"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.param);
        Settings::Unset(c.id);
        EXPECT_EQ(ValueOf(StandardEventParams({}), c.param), c.fallback);
        Settings::Set(c.id, std::string());
        EXPECT_EQ(ValueOf(StandardEventParams({}), c.param), "");
        Settings::Set(c.id, std::string("given value"));
        EXPECT_EQ(ValueOf(StandardEventParams({}), c.param), "given value");
        Settings::Set(c.id, true);
        EXPECT_EQ(ValueOf(StandardEventParams({}), c.param), c.fallback);
        Settings::Unset(c.id);
    }
}

TEST_F(StandardParamsTest, LanguageIsATranslatedLocaleOrTheDefault)
{
    const std::vector<std::string> locales = Translater::GetLocales();
    ASSERT_FALSE(locales.empty());
    const std::string& fallback = Translater::GetDefaultLocale();
    const std::string translated = locales.back();

    const struct {
        bool set;
        std::string locale;
        std::string expected;
    } cases[] = {
        {true, translated, translated},
        {true, "xx-XX", fallback},
        {true, "", fallback},
        {false, "", fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set ? "locale \"" + c.locale + "\"" : "no locale");
        if (c.set) {
            Settings::Set(ID::Locale, c.locale);
        } else {
            Settings::Unset(ID::Locale);
        }
        EXPECT_EQ(ValueOf(StandardEventParams({}), "LANGUAGE"), c.expected);
    }
}

} // namespace
} // namespace Zentak::Tracking
