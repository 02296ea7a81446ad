#include "localization/text_table.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "utils/string_utils.h"

namespace Zentak {
namespace {

const std::vector<std::string> kExpectedLocales = {
    "de-DE", "en-US", "es-ES", "fr-FR", "it-IT", "ja-JP", "ko-KR",
    "nl-NL", "pl-PL", "pt-BR", "ru-RU", "tr-TR", "zh-CN", "zh-TW",
};

TranslaterText Key(int value)
{
    return static_cast<TranslaterText>(value);
}

std::string Describe(const std::string& locale, TranslaterText key)
{
    return locale + " " + std::string(TranslaterTextName(key));
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        unsigned int codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static const unsigned int kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::multiset<std::string> PlaceHolders(const std::string& text)
{
    static const std::regex kPlaceHolder("__[A-Z]+(_[A-Z]+)*__");
    std::multiset<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kPlaceHolder);
         it != std::sregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return found;
}

std::size_t CountDoubleUnderscores(const std::string& text)
{
    std::size_t count = 0;
    for (auto at = text.find("__"); at != std::string::npos; at = text.find("__", at + 2)) {
        ++count;
    }
    return count;
}

TEST(TextFileParser, ReadsNamesTextsAndEscapes)
{
    std::vector<std::string> errors;
    const TextMap texts = ParseTextFile(
        "\xEF\xBB\xBF# comment = not a text\r\n"
        "\r\n"
        "AcceptEula = first\\nsecond\r\n"
        "   CancelButton=Cancel   \n"
        "OkButton = back\\\\slash = and equals\n"
        "YesButton = \xC3\x9C" "ber \xE2\x80\xA6\n"
        "NoButton =\n"
        "StartButton = no final line break",
        &errors);

    EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    const TextMap expected = {
        {TranslaterText::AcceptEula, "first\nsecond"},
        {TranslaterText::CancelButton, "Cancel"},
        {TranslaterText::OkButton, "back\\slash = and equals"},
        {TranslaterText::YesButton, "\xC3\x9C" "ber \xE2\x80\xA6"},
        {TranslaterText::NoButton, ""},
        {TranslaterText::StartButton, "no final line break"},
    };
    EXPECT_EQ(texts, expected);
}

TEST(TextFileParser, ReportsEveryBadLineWithItsNumberAndKeepsTheRest)
{
    struct Case {
        std::string line;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"AcceptEula I accept", "line 2: no \"=\" in \"AcceptEula I accept\""},
        {"AcceptEulaa = I accept", "line 2: unknown text name \"AcceptEulaa\""},
        {"None = nothing", "line 2: unknown text name \"None\""},
        {"acceptEula = I accept", "line 2: unknown text name \"acceptEula\""},
        {"AcceptEula = a\\tb", "line 2: unknown escape \"\\t\" in AcceptEula"},
        {"AcceptEula = ends in \\", "line 2: backslash at the end of AcceptEula"},
        {"CancelButton = twice", "line 2: second text for CancelButton"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> errors;
        const TextMap texts =
            ParseTextFile("CancelButton = Cancel\n" + c.line + "\nOkButton = OK\n", &errors);
        EXPECT_EQ(errors, std::vector<std::string>{c.error}) << c.line;
        const TextMap expected = {{TranslaterText::CancelButton, "Cancel"},
                                  {TranslaterText::OkButton, "OK"}};
        EXPECT_EQ(texts, expected) << c.line;
    }
}

TEST(TextFileParser, NamesCoverEveryKeyOnce)
{
    std::set<std::string_view> names;
    for (int value = kFirstTranslaterText; value <= kLastTranslaterText; ++value) {
        const std::string_view name = TranslaterTextName(Key(value));
        EXPECT_FALSE(name.empty()) << value;
        EXPECT_TRUE(names.insert(name).second) << name;
    }
    EXPECT_TRUE(TranslaterTextName(TranslaterText::None).empty());
    EXPECT_TRUE(TranslaterTextName(Key(kLastTranslaterText + 1)).empty());
}

TEST(TextFiles, EveryEmbeddedFileParsesCleanlyAndIsUtf8)
{
    ASSERT_EQ(kEmbeddedTextFileCount, kExpectedLocales.size());
    for (std::size_t i = 0; i < kEmbeddedTextFileCount; ++i) {
        const EmbeddedTextFile& file = kEmbeddedTextFiles[i];
        std::vector<std::string> errors;
        ParseTextFile(file.Text(), &errors);
        EXPECT_TRUE(errors.empty()) << file.locale << ": " << ::testing::PrintToString(errors);
        EXPECT_TRUE(IsValidUtf8(std::string(file.Text()))) << file.locale;
        EXPECT_EQ(file.Text().find('\0'), std::string_view::npos) << file.locale;
    }
}

TEST(TextTables, EveryLocaleHoldsExactlyItsKeys)
{
    const TextTable& table = GetTextTable();
    std::vector<std::string> locales;
    for (const auto& entry : table) {
        locales.push_back(entry.first);
    }
    ASSERT_EQ(locales, kExpectedLocales);

    for (const auto& [locale, texts] : table) {
        for (int value = kFirstTranslaterText; value <= kLastTranslaterText; ++value) {
            const TranslaterText key = Key(value);
            bool expected = true;
            if (key == TranslaterText::EnterPassword) {
                expected = locale == "de-DE";
            } else if (key == TranslaterText::PleaseWait) {
                expected = locale != "it-IT";
            }
            const auto text = texts.find(key);
            EXPECT_EQ(text != texts.end(), expected) << Describe(locale, key);
            if (text != texts.end()) {
                EXPECT_FALSE(text->second.empty()) << Describe(locale, key);
                EXPECT_TRUE(IsValidUtf8(text->second)) << Describe(locale, key);
                EXPECT_EQ(Util::Trim(std::string_view(text->second)), text->second)
                    << Describe(locale, key);
            }
        }
        EXPECT_EQ(texts.count(TranslaterText::None), 0u) << locale;
    }
}

TEST(TextTables, EnglishTextsAreExact)
{
    const std::map<TranslaterText, std::string> expected = {
        {TranslaterText::AcceptEula, "I accept the EULA"},
        {TranslaterText::AlmostDone, "Almost done. Getting everything ready"},
        {TranslaterText::InstallerAlreadyRunning,
         "Installer for bundle __PRODUCT_DISPLAY_NAME__ already running.\n"
         "Please wait for previous installer completion"},
        {TranslaterText::CloseProductToContinue,
         "Close __PRODUCT_DISPLAY_NAME__ to continue installation"},
        {TranslaterText::CancelButton, "Cancel"},
        {TranslaterText::NoConnection,
         "You need to be connected to the Internet to download the program."},
        {TranslaterText::InstallButton, "Install"},
        {TranslaterText::InstallationFolder, "Installation folder:"},
        {TranslaterText::InstallingPercent, "Installing, please wait (__PERCENT__% finished)"},
        {TranslaterText::Installing, "Installing, please wait\xE2\x80\xA6"},
        {TranslaterText::CopyingFiles, "Copying files, please wait\xE2\x80\xA6"},
        {TranslaterText::WindowTitle, "Welcome to the Zentak Software Installer"},
        {TranslaterText::VersionLabel, "Version __PRODUCT_VERSION__"},
        {TranslaterText::LanguageName, "English"},
        {TranslaterText::NoButton, "No"},
        {TranslaterText::OkButton, "OK"},
        {TranslaterText::PlatformRequired,
         "Sorry, this product will not work on your PC.\n"
         "Installation requires a __PLATFORM__-bit version of Windows."},
        {TranslaterText::TryAgainButton, "Try Again"},
        {TranslaterText::SelectFolder, "Select folder"},
        {TranslaterText::SelectLanguage, "Select a language:"},
        {TranslaterText::InstallationSettings, "Installation settings"},
        {TranslaterText::SkipButton, "Skip"},
        {TranslaterText::CancelInstallationQuestion, "Cancel the installation?"},
        {TranslaterText::ProcessFailed,
         "Something went wrong\nPlease try again or contact our Support Center."},
        {TranslaterText::InstallationCanceled,
         "Installation canceled\n"
         "You've stopped the installation but you can restart it any time."},
        {TranslaterText::InstallationCanceledAgain,
         "Installation canceled\n"
         "You've stopped the installation but you can restart it any time."},
        {TranslaterText::InstallationPaused,
         "Installation paused\nTo continue, close __RETRY_PRODUCT__ and try again."},
        {TranslaterText::UninstallPaused,
         "Uninstall paused\nTo continue, close __RETRY_PRODUCT__ and restart the process."},
        {TranslaterText::ProcessFailedAgain,
         "Something went wrong\nPlease try again or contact our Support Center."},
        {TranslaterText::ProcessFailedOther,
         "Something went wrong\nPlease try again or contact our Support Center."},
        {TranslaterText::FolderNotFound,
         "Couldn't find this folder\n"
         "Check the path, make sure you have write access, and try again."},
        {TranslaterText::StartButton, "Start!"},
        {TranslaterText::EulaOkButton, "OK"},
        {TranslaterText::BackButton, "Back"},
        {TranslaterText::CancelInstallationQuestionAgain, "Cancel the installation?"},
        {TranslaterText::YesButton, "Yes"},
        {TranslaterText::PleaseWait, "Please wait..."},
        {TranslaterText::ConfirmYesButton, "Yes"},
        {TranslaterText::ContinueButton, "Continue"},
        {TranslaterText::NotEnoughSpace,
         "There is not enough space on drive. Please free up at least __REQUIRED_SPACE__ MB "
         "and try again"},
    };
    const TextMap& english = GetTextTable().at("en-US");
    for (const auto& [key, text] : english) {
        const auto wanted = expected.find(key);
        ASSERT_NE(wanted, expected.end()) << TranslaterTextName(key);
        EXPECT_EQ(text, wanted->second) << TranslaterTextName(key);
    }
    EXPECT_EQ(english.size(), expected.size());

    EXPECT_EQ(GetTextTable().at("de-DE").at(TranslaterText::EnterPassword),
              "Please enter your password to continue the installation");
}

TEST(TextTables, TranslationsKeepThePlaceHoldersOfTheEnglishText)
{
    const TextMap& english = GetTextTable().at("en-US");
    for (const auto& [locale, texts] : GetTextTable()) {
        for (const auto& [key, text] : texts) {
            const auto source = english.find(key);
            const std::string englishText = source == english.end() ? "" : source->second;
            const auto wanted = PlaceHolders(englishText);
            EXPECT_EQ(PlaceHolders(text), wanted) << Describe(locale, key) << ": " << text;
            // A damaged place-holder ("__PERCENT_") would escape the count above.
            EXPECT_EQ(CountDoubleUnderscores(text), 2 * wanted.size())
                << Describe(locale, key) << ": " << text;
        }
    }
}

TEST(TextTables, RepeatedTextsAgreeWithinEachLocale)
{
    const std::pair<TranslaterText, TranslaterText> kSame[] = {
        {TranslaterText::InstallationCanceledAgain, TranslaterText::InstallationCanceled},
        {TranslaterText::ProcessFailedAgain, TranslaterText::ProcessFailed},
        {TranslaterText::ProcessFailedOther, TranslaterText::ProcessFailed},
        {TranslaterText::CancelInstallationQuestionAgain,
         TranslaterText::CancelInstallationQuestion},
    };
    for (const auto& [locale, texts] : GetTextTable()) {
        for (const auto& [copy, original] : kSame) {
            EXPECT_EQ(texts.at(copy), texts.at(original)) << Describe(locale, copy);
        }
    }
}

TEST(TextTables, LanguageNamesAndMakerName)
{
    const std::map<std::string, std::string> kLanguageNames = {
        {"de-DE", "Deutsch"},
        {"en-US", "English"},
        {"es-ES", "Espa\xC3\xB1ol"},
        {"fr-FR", "Fran\xC3\xA7" "ais"},
        {"it-IT", "Italiano"},
        {"ja-JP", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {"ko-KR", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4"},
        {"nl-NL", "Nederlands"},
        {"pl-PL", "Polski"},
        {"pt-BR", "Portugu\xC3\xAAs Brasileiro"},
        {"ru-RU", "\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9"},
        {"tr-TR", "T\xC3\xBCrk\xC3\xA7" "e"},
        {"zh-CN", "\xE7\xAE\x80\xE4\xBD\x93\xE4\xB8\xAD\xE6\x96\x87"},
        {"zh-TW", "\xE7\xB9\x81\xE9\xAB\x94\xE4\xB8\xAD\xE6\x96\x87"},
    };
    ASSERT_EQ(kLanguageNames.size(), GetTextTable().size());
    for (const auto& [locale, texts] : GetTextTable()) {
        EXPECT_EQ(texts.at(TranslaterText::LanguageName), kLanguageNames.at(locale)) << locale;
        EXPECT_NE(texts.at(TranslaterText::WindowTitle).find("Zentak"), std::string::npos)
            << locale;
    }
}

// Catches a table copied from English and left untranslated: only texts that
// many languages write the English way may equal it.
TEST(TextTables, TranslationsDifferFromEnglishExceptWhereLanguagesShareTheWord)
{
    const std::set<TranslaterText> kMayEqualEnglish = {
        TranslaterText::VersionLabel, TranslaterText::NoButton, TranslaterText::OkButton,
        TranslaterText::StartButton, TranslaterText::EulaOkButton,
    };
    const TextMap& english = GetTextTable().at("en-US");
    for (const auto& [locale, texts] : GetTextTable()) {
        if (locale == "en-US") {
            continue;
        }
        for (const auto& [key, text] : texts) {
            const auto source = english.find(key);
            if (source == english.end() || kMayEqualEnglish.count(key) != 0) {
                continue;
            }
            EXPECT_NE(text, source->second) << Describe(locale, key);
        }
    }
}

// The licence shown beside each locale's texts: one UTF-8 file per locale
// and nothing else in the folder.
TEST(LicenceTexts, OneFilePerLocaleNamingProductAndMaker)
{
    const std::string folder = ZENTAK_EULA_DIR;
    for (const std::string& locale : kExpectedLocales) {
        std::ifstream in(folder + "/" + locale + ".txt", std::ios::binary);
        ASSERT_TRUE(in) << locale;
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_TRUE(IsValidUtf8(text)) << locale;
        EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF") << locale << " starts with a byte-order mark";
        EXPECT_NE(text.find("Zentak Reel Maker"), std::string::npos) << locale;
        const auto lines = std::count(text.begin(), text.end(), '\n');
        EXPECT_GE(lines, 10) << locale;
        EXPECT_LE(lines, 20) << locale;
    }
    std::vector<std::string> files;
    for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
        files.push_back(it->path().filename().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> expected;
    for (const std::string& locale : kExpectedLocales) {
        expected.push_back(locale + ".txt");
    }
    EXPECT_EQ(files, expected);
}

} // namespace
} // namespace Zentak
