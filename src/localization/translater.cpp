#include "localization/translater.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <map>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>

#include "localization/text_table.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

constexpr const char* kFallbackLocale = "en-US";
constexpr std::size_t kLocaleCount = 14;

// Chinese comes in two scripts, and the table has one locale for each. The
// region alone would send a reader of traditional characters in Hong Kong
// to the simplified texts, so the script decides where it is given
// ("zh-Hant-HK", "zh-Hans-TW"), then the region: Taiwan, Hong Kong and Macau
// write traditional characters, the rest simplified. Subtags after the
// language compare without case, as language tags do.
std::string ChineseLocale(const std::string& systemLocale)
{
    std::vector<std::string> subtags;
    size_t start = systemLocale.find('-') + 1;
    while (start <= systemLocale.size()) {
        const size_t end = std::min(systemLocale.find('-', start), systemLocale.size());
        subtags.push_back(boost::algorithm::to_lower_copy(systemLocale.substr(start, end - start)));
        start = end + 1;
    }
    for (const std::string& subtag : subtags) {
        if (subtag == "hant") {
            return "zh-TW";
        }
        if (subtag == "hans") {
            return "zh-CN";
        }
    }
    for (const std::string& subtag : subtags) {
        if (subtag == "tw" || subtag == "hk" || subtag == "mo") {
            return "zh-TW";
        }
    }
    return "zh-CN";
}

// Empty texts count as missing, so that a translator's blank line falls back
// instead of showing nothing.
const std::string* FindText(TranslaterText key, const std::string& locale)
{
    const TextTable& table = GetTextTable();
    const auto texts = table.find(locale);
    if (texts == table.end()) {
        return nullptr;
    }
    const auto text = texts->second.find(key);
    if (text == texts->second.end() || text->second.empty()) {
        return nullptr;
    }
    return &text->second;
}

// Only standard exceptions are answered with the fallback; anything else
// leaves the default unset, to be computed again on the next call.
std::string ComputeDefaultLocale()
{
    try {
        return Translater::ChooseDefaultLocale(Translater::GetSystemUiLocale());
    } catch (const std::exception& e) {
        std::cout << "defaultLocale initialization exception: " << e.what() << '\n' << std::flush;
        return kFallbackLocale;
    }
}

} // namespace

std::string Translater::GetLocalizedText(TranslaterText key, const std::string& locale)
{
    if (key == TranslaterText::None) {
        return {};
    }
    if (const std::string* text = FindText(key, locale)) {
        return *text;
    }
    const std::string& defaultLocale = GetDefaultLocale();
    if (!defaultLocale.empty()) {
        if (const std::string* text = FindText(key, defaultLocale)) {
            return *text;
        }
    }
    return {};
}

std::string Translater::GetText(TranslaterText key)
{
    return GetLocalizedText(key, Settings::GetString(Settings::ID::Locale));
}

std::vector<std::string> Translater::GetLocales()
{
    std::vector<std::string> locales;
    locales.reserve(kLocaleCount);
    for (const auto& entry : GetTextTable()) {
        locales.push_back(entry.first);
    }
    return locales;
}

const std::string& Translater::GetDefaultLocale()
{
    static const std::string defaultLocale = ComputeDefaultLocale();
    return defaultLocale;
}

std::string Translater::GetSystemUiLocale()
{
    return Util::GetSystemUiLocale();
}

std::string Translater::ChooseDefaultLocale(const std::string& systemLocale)
{
    if (systemLocale.empty()) {
        return kFallbackLocale;
    }
    const TextTable& table = GetTextTable();
    if (table.count(systemLocale) != 0) {
        return systemLocale;
    }
    const auto hyphen = systemLocale.find('-');
    if (hyphen == std::string::npos) {
        return kFallbackLocale;
    }
    if (systemLocale.compare(0, hyphen, "zh") == 0) {
        return ChineseLocale(systemLocale);
    }
    // The whole language subtag must match: "pt-PT" finds "pt-BR", while a
    // one-letter "i-klingon" must not find "it-IT" nor "-US" the first locale.
    for (const auto& entry : table) {
        const std::string& locale = entry.first;
        if (locale.size() > hyphen && locale[hyphen] == '-' &&
            locale.compare(0, hyphen, systemLocale, 0, hyphen) == 0) {
            return locale;
        }
    }
    return kFallbackLocale;
}

TranslaterText Translater::ProcessStateToText(ProcessOutcome outcome)
{
    switch (outcome) {
    case ProcessOutcome::Success: return TranslaterText::None;
    case ProcessOutcome::PreparationCancelled: return TranslaterText::InstallationCanceled;
    case ProcessOutcome::RetryCancelled: return TranslaterText::InstallationCanceledAgain;
    case ProcessOutcome::ProductRunning: return TranslaterText::InstallationPaused;
    case ProcessOutcome::StartedOnUninstall: return TranslaterText::UninstallPaused;
    case ProcessOutcome::InstallerError: return TranslaterText::ProcessFailedAgain;
    case ProcessOutcome::UninstallerError: return TranslaterText::ProcessFailedOther;
    case ProcessOutcome::IncorrectPath: return TranslaterText::FolderNotFound;
    default: return TranslaterText::ProcessFailed;
    }
}

} // namespace Zentak
