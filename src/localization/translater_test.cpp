#include "localization/translater.h"

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "localization/text_table.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

const std::string& TableText(const std::string& locale, TranslaterText key)
{
    return GetTextTable().at(locale).at(key);
}

TEST(Translater, LocalesInTableOrder)
{
    const std::vector<std::string> expected = {
        "de-DE", "en-US", "es-ES", "fr-FR", "it-IT", "ja-JP", "ko-KR",
        "nl-NL", "pl-PL", "pt-BR", "ru-RU", "tr-TR", "zh-CN", "zh-TW",
    };
    EXPECT_EQ(Translater::GetLocales(), expected);
}

TEST(Translater, KnownLocaleGivesItsOwnText)
{
    for (const std::string& locale : Translater::GetLocales()) {
        for (const auto& [key, text] : GetTextTable().at(locale)) {
            EXPECT_EQ(Translater::GetLocalizedText(key, locale), text)
                << locale << " " << static_cast<int>(key);
        }
    }
}

TEST(Translater, MissingLocalesAndKeysFallBackToTheDefaultLocale)
{
    const std::string& fallback = Translater::GetDefaultLocale();
    ASSERT_EQ(GetTextTable().count(fallback), 1u) << fallback;
    const TextMap& defaults = GetTextTable().at(fallback);
    const auto defaultText = [&](TranslaterText key) {
        const auto text = defaults.find(key);
        return text == defaults.end() ? std::string() : text->second;
    };

    struct Case {
        TranslaterText key;
        std::string locale;
    };
    const std::vector<Case> cases = {
        {TranslaterText::AcceptEula, "xx-XX"},
        {TranslaterText::AcceptEula, ""},
        // Locale names compare byte-wise: other spellings are not in the table.
        {TranslaterText::CancelButton, "de-de"},
        {TranslaterText::CancelButton, "de_DE"},
        {TranslaterText::CancelButton, "de"},
        {TranslaterText::PleaseWait, "it-IT"},
        {TranslaterText::EnterPassword, "en-US"},
        {TranslaterText::EnterPassword, "fr-FR"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Translater::GetLocalizedText(c.key, c.locale), defaultText(c.key))
            << c.locale << " " << static_cast<int>(c.key);
    }
    if (fallback != "de-DE") {
        EXPECT_EQ(Translater::GetLocalizedText(TranslaterText::EnterPassword, "en-US"), "");
    }
}

TEST(Translater, NoTextAndKeysOutsideTheEnumerationAreEmpty)
{
    for (const std::string locale : {"en-US", "de-DE", "xx-XX", ""}) {
        EXPECT_EQ(Translater::GetLocalizedText(TranslaterText::None, locale), "") << locale;
        EXPECT_EQ(Translater::GetLocalizedText(static_cast<TranslaterText>(42), locale), "")
            << locale;
        EXPECT_EQ(Translater::GetLocalizedText(static_cast<TranslaterText>(-1), locale), "")
            << locale;
    }
}

TEST(Translater, GetTextFollowsTheLocaleSetting)
{
    Settings::Set(Settings::ID::Locale, std::string("ja-JP"));
    EXPECT_EQ(Translater::GetText(TranslaterText::InstallButton),
              TableText("ja-JP", TranslaterText::InstallButton));

    // Read again on every call: the splash changes it while texts are shown.
    Settings::Set(Settings::ID::Locale, std::string("ru-RU"));
    EXPECT_EQ(Translater::GetText(TranslaterText::InstallButton),
              TableText("ru-RU", TranslaterText::InstallButton));

    Settings::Set(Settings::ID::Locale, std::string("it-IT"));
    EXPECT_EQ(Translater::GetText(TranslaterText::PleaseWait),
              Translater::GetLocalizedText(TranslaterText::PleaseWait,
                                           Translater::GetDefaultLocale()));

    Settings::Unset(Settings::ID::Locale);
    EXPECT_EQ(Translater::GetText(TranslaterText::InstallButton),
              TableText(Translater::GetDefaultLocale(), TranslaterText::InstallButton));
}

TEST(Translater, ChooseDefaultLocale)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"fr-FR", "fr-FR"},
        {"fr-CA", "fr-FR"},
        {"fr", "en-US"},
        {"de", "en-US"},
        {"sv-SE", "en-US"},
        {"", "en-US"},
        {"pt-PT", "pt-BR"},
        {"en-GB", "en-US"},
        {"zh-TW", "zh-TW"},
        {"de-AT", "de-DE"},
        {"ko-KR", "ko-KR"},
        // Exact matches are case-sensitive; prefixes compare the language only.
        {"FR-FR", "en-US"},
        {"fr-fr", "fr-FR"},
        // Only a whole language subtag counts.
        {"i-klingon", "en-US"},
        {"-US", "en-US"},
        {"fra-FR", "en-US"},
        {"fr_FR", "en-US"},
    };
    for (const auto& [system, expected] : cases) {
        EXPECT_EQ(Translater::ChooseDefaultLocale(system), expected) << "\"" << system << "\"";
    }
}

// The forms the system reports for Chinese: script subtags, regions, both,
// and tags in other cases.
TEST(Translater, ChooseDefaultLocaleForChinese)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"zh-Hant", "zh-TW"},    {"zh-Hans", "zh-CN"},    {"zh-Hant-TW", "zh-TW"},
        {"zh-Hans-CN", "zh-CN"}, {"zh-Hant-HK", "zh-TW"}, {"zh-Hans-HK", "zh-CN"},
        {"zh-Hans-TW", "zh-CN"}, {"zh-Hant-CN", "zh-TW"}, {"zh-HK", "zh-TW"},
        {"zh-MO", "zh-TW"},      {"zh-SG", "zh-CN"},      {"zh-CN", "zh-CN"},
        {"zh-hant-tw", "zh-TW"}, {"zh-HANS", "zh-CN"},    {"zh-tw", "zh-TW"},
        {"zh-", "zh-CN"},        {"zh", "en-US"},         {"ZH-Hant", "en-US"},
        {"zhx-Hant", "en-US"},   {"zh-Hantx", "zh-CN"},
    };
    for (const auto& [system, expected] : cases) {
        EXPECT_EQ(Translater::ChooseDefaultLocale(system), expected) << "\"" << system << "\"";
    }
}

TEST(Translater, ProcessStateToText)
{
    const std::vector<std::pair<int, TranslaterText>> cases = {
        {-1, TranslaterText::ProcessFailed},
        {0, TranslaterText::None},
        {1, TranslaterText::ProcessFailed},
        {2, TranslaterText::InstallationCanceled},
        {3, TranslaterText::InstallationCanceledAgain},
        {4, TranslaterText::InstallationPaused},
        {5, TranslaterText::UninstallPaused},
        {6, TranslaterText::ProcessFailedAgain},
        {7, TranslaterText::ProcessFailedOther},
        {8, TranslaterText::FolderNotFound},
        {9, TranslaterText::ProcessFailed},
        {-2, TranslaterText::ProcessFailed},
    };
    for (const auto& [state, expected] : cases) {
        EXPECT_EQ(Translater::ProcessStateToText(static_cast<ProcessOutcome>(state)), expected)
            << state;
    }
}

// The default locale is computed once per process from the system language,
// so each system language is tried in a child process of its own (the
// "threadsafe" style starts the child afresh instead of forking this one).
void UseSystemLanguage(const char* lang)
{
    unsetenv("LANGUAGE");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    if (lang) {
        setenv("LANG", lang, 1);
    } else {
        unsetenv("LANG");
    }
}

struct DefaultCase {
    const char* systemLanguage;
    std::string expectedDefault;
};

void CheckDefaultLocaleAndExit(const DefaultCase& c)
{
    UseSystemLanguage(c.systemLanguage);
    int failures = 0;
    const auto expect = [&](const std::string& what, const std::string& actual,
                            const std::string& expected) {
        if (actual != expected) {
            std::fprintf(stderr, "%s: \"%s\", expected \"%s\"\n", what.c_str(), actual.c_str(),
                         expected.c_str());
            ++failures;
        }
    };
    const std::string& fallback = c.expectedDefault;
    expect("default locale", Translater::GetDefaultLocale(), fallback);
    expect("unknown locale", Translater::GetLocalizedText(TranslaterText::AcceptEula, "xx-XX"),
           TableText(fallback, TranslaterText::AcceptEula));
    const auto& defaults = GetTextTable().at(fallback);
    const auto password = defaults.find(TranslaterText::EnterPassword);
    expect("EnterPassword in en-US",
           Translater::GetLocalizedText(TranslaterText::EnterPassword, "en-US"),
           password == defaults.end() ? "" : password->second);
    const auto wait = defaults.find(TranslaterText::PleaseWait);
    expect("PleaseWait in it-IT", Translater::GetLocalizedText(TranslaterText::PleaseWait, "it-IT"),
           wait == defaults.end() ? "" : wait->second);

    // Kept for the life of the process, whatever the system says later.
    UseSystemLanguage("ko_KR.UTF-8");
    expect("default locale later", Translater::GetDefaultLocale(), fallback);
    std::fflush(stderr);
    std::exit(failures == 0 ? 0 : 1);
}

TEST(TranslaterDefaultLocale, ComesFromTheSystemLanguageOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<DefaultCase> cases = {
        {"de_DE.UTF-8", "de-DE"},
        {"fr_CA.UTF-8", "fr-FR"},
        {"pt_PT.UTF-8", "pt-BR"},
        {"zh_TW.UTF-8", "zh-TW"},
        {"sv_SE.UTF-8", "en-US"},
        {"C", "en-US"},
        {nullptr, "en-US"},
    };
    for (const DefaultCase& c : cases) {
        EXPECT_EXIT(CheckDefaultLocaleAndExit(c), ::testing::ExitedWithCode(0), "")
            << (c.systemLanguage ? c.systemLanguage : "(no LANG)");
    }
}

TEST(TranslaterDefaultLocale, EnglishDefaultGivesTheDocumentedFallbacks)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            UseSystemLanguage("sv_SE.UTF-8");
            const bool ok =
                Translater::GetDefaultLocale() == "en-US" &&
                Translater::GetLocalizedText(TranslaterText::AcceptEula, "xx-XX") ==
                    "I accept the EULA" &&
                Translater::GetLocalizedText(TranslaterText::PleaseWait, "it-IT") ==
                    "Please wait..." &&
                Translater::GetLocalizedText(TranslaterText::EnterPassword, "en-US").empty();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace Zentak
