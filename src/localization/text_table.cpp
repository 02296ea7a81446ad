#include "localization/text_table.h"

#include <iterator>

#include <glog/logging.h>

#include "utils/string_utils.h"

namespace Zentak {
namespace {

struct KeyName {
    TranslaterText key;
    std::string_view name;
};

constexpr KeyName kKeyNames[] = {
    {TranslaterText::AcceptEula, "AcceptEula"},
    {TranslaterText::AlmostDone, "AlmostDone"},
    {TranslaterText::InstallerAlreadyRunning, "InstallerAlreadyRunning"},
    {TranslaterText::CloseProductToContinue, "CloseProductToContinue"},
    {TranslaterText::CancelButton, "CancelButton"},
    {TranslaterText::NoConnection, "NoConnection"},
    {TranslaterText::InstallButton, "InstallButton"},
    {TranslaterText::InstallationFolder, "InstallationFolder"},
    {TranslaterText::InstallingPercent, "InstallingPercent"},
    {TranslaterText::Installing, "Installing"},
    {TranslaterText::CopyingFiles, "CopyingFiles"},
    {TranslaterText::WindowTitle, "WindowTitle"},
    {TranslaterText::VersionLabel, "VersionLabel"},
    {TranslaterText::LanguageName, "LanguageName"},
    {TranslaterText::NoButton, "NoButton"},
    {TranslaterText::OkButton, "OkButton"},
    {TranslaterText::PlatformRequired, "PlatformRequired"},
    {TranslaterText::TryAgainButton, "TryAgainButton"},
    {TranslaterText::SelectFolder, "SelectFolder"},
    {TranslaterText::SelectLanguage, "SelectLanguage"},
    {TranslaterText::InstallationSettings, "InstallationSettings"},
    {TranslaterText::SkipButton, "SkipButton"},
    {TranslaterText::CancelInstallationQuestion, "CancelInstallationQuestion"},
    {TranslaterText::ProcessFailed, "ProcessFailed"},
    {TranslaterText::InstallationCanceled, "InstallationCanceled"},
    {TranslaterText::InstallationCanceledAgain, "InstallationCanceledAgain"},
    {TranslaterText::InstallationPaused, "InstallationPaused"},
    {TranslaterText::UninstallPaused, "UninstallPaused"},
    {TranslaterText::ProcessFailedAgain, "ProcessFailedAgain"},
    {TranslaterText::ProcessFailedOther, "ProcessFailedOther"},
    {TranslaterText::FolderNotFound, "FolderNotFound"},
    {TranslaterText::StartButton, "StartButton"},
    {TranslaterText::EulaOkButton, "EulaOkButton"},
    {TranslaterText::BackButton, "BackButton"},
    {TranslaterText::CancelInstallationQuestionAgain, "CancelInstallationQuestionAgain"},
    {TranslaterText::YesButton, "YesButton"},
    {TranslaterText::PleaseWait, "PleaseWait"},
    {TranslaterText::EnterPassword, "EnterPassword"},
    {TranslaterText::ConfirmYesButton, "ConfirmYesButton"},
    {TranslaterText::ContinueButton, "ContinueButton"},
    {TranslaterText::NotEnoughSpace, "NotEnoughSpace"},
};
static_assert(std::size(kKeyNames) == kLastTranslaterText - kFirstTranslaterText + 1,
              "every text key needs its name in the text files");

bool KeyFromName(std::string_view name, TranslaterText* key)
{
    for (const KeyName& entry : kKeyNames) {
        if (entry.name == name) {
            *key = entry.key;
            return true;
        }
    }
    return false;
}

// False on an escape the files do not define, so that a typo such as "\m"
// is reported instead of shown to the user.
bool Unescape(std::string_view raw, std::string* text, char* badEscape)
{
    text->clear();
    text->reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            text->push_back(raw[i]);
            continue;
        }
        if (i + 1 == raw.size()) {
            *badEscape = '\0';
            return false;
        }
        const char next = raw[++i];
        if (next == 'n') {
            text->push_back('\n');
        } else if (next == '\\') {
            text->push_back('\\');
        } else {
            *badEscape = next;
            return false;
        }
    }
    return true;
}

void AddError(std::vector<std::string>* errors, std::size_t lineNumber, const std::string& what)
{
    if (errors) {
        errors->push_back("line " + std::to_string(lineNumber) + ": " + what);
    }
}

TextTable BuildTextTable()
{
    TextTable table;
    for (std::size_t i = 0; i < kEmbeddedTextFileCount; ++i) {
        const EmbeddedTextFile& file = kEmbeddedTextFiles[i];
        std::vector<std::string> errors;
        table[file.locale] = ParseTextFile(file.Text(), &errors);
        for (const std::string& error : errors) {
            LOG(ERROR) << "Text table of locale " << file.locale << ": " << error;
        }
    }
    return table;
}

} // namespace

std::string_view TranslaterTextName(TranslaterText key)
{
    for (const KeyName& entry : kKeyNames) {
        if (entry.key == key) {
            return entry.name;
        }
    }
    return {};
}

TextMap ParseTextFile(std::string_view text, std::vector<std::string>* errors)
{
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }

    TextMap texts;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

        line = Util::Trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            AddError(errors, lineNumber, "no \"=\" in \"" + std::string(line) + "\"");
            continue;
        }
        const std::string_view name = Util::Trim(line.substr(0, equals));
        TranslaterText key = TranslaterText::None;
        if (!KeyFromName(name, &key)) {
            AddError(errors, lineNumber, "unknown text name \"" + std::string(name) + "\"");
            continue;
        }
        std::string value;
        char badEscape = '\0';
        if (!Unescape(Util::Trim(line.substr(equals + 1)), &value, &badEscape)) {
            AddError(errors, lineNumber,
                     badEscape ? std::string("unknown escape \"\\") + badEscape + "\" in " +
                                     std::string(name)
                               : "backslash at the end of " + std::string(name));
            continue;
        }
        if (!texts.emplace(key, std::move(value)).second) {
            AddError(errors, lineNumber, "second text for " + std::string(name));
        }
    }
    return texts;
}

const TextTable& GetTextTable()
{
    static const TextTable table = BuildTextTable();
    return table;
}

namespace {
// Build the table before main, so that no thread pays for it on first use;
// the function-local static above keeps other static initialisers safe.
[[maybe_unused]] const TextTable& gTableBuiltAtStart = GetTextTable();
} // namespace

} // namespace Zentak
