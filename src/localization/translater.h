#pragma once

#include <string>
#include <vector>

#include "utils/process_outcome.h"

namespace Zentak {

// Keys of the text table. The numbers are stable: they are the keys of the
// process-state mapping and of the texts other components store.
enum class TranslaterText : int {
    None = 0,
    AcceptEula = 1,
    AlmostDone = 2,
    InstallerAlreadyRunning = 3,
    CloseProductToContinue = 4,
    CancelButton = 5,
    NoConnection = 6,
    InstallButton = 7,
    InstallationFolder = 8,
    InstallingPercent = 9,
    Installing = 10,
    CopyingFiles = 11,
    WindowTitle = 12,
    VersionLabel = 13,
    LanguageName = 14,
    NoButton = 15,
    OkButton = 16,
    PlatformRequired = 17,
    TryAgainButton = 18,
    SelectFolder = 19,
    SelectLanguage = 20,
    InstallationSettings = 21,
    SkipButton = 22,
    CancelInstallationQuestion = 23,
    ProcessFailed = 24,
    InstallationCanceled = 25,
    InstallationCanceledAgain = 26,
    InstallationPaused = 27,
    UninstallPaused = 28,
    ProcessFailedAgain = 29,
    ProcessFailedOther = 30,
    FolderNotFound = 31,
    StartButton = 32,
    EulaOkButton = 33,
    BackButton = 34,
    CancelInstallationQuestionAgain = 35,
    YesButton = 36,
    PleaseWait = 37,
    EnterPassword = 38,
    ConfirmYesButton = 39,
    ContinueButton = 40,
    NotEnoughSpace = 41,
};

constexpr int kFirstTranslaterText = 1;
constexpr int kLastTranslaterText = 41;

// The texts the installer shows, in every locale it ships. Texts may contain
// place-holders such as __PRODUCT_VERSION__ that the caller replaces.
//
// The tables are read-only and every operation is safe from any thread.
class Translater {
public:
    // The text of `key` in `locale`. A locale the table lacks, or a key that
    // locale lacks, falls back to the default locale; an empty string when
    // neither has it, and always for TranslaterText::None.
    static std::string GetLocalizedText(TranslaterText key, const std::string& locale);

    // GetLocalizedText for the locale the user chose (setting Locale); an
    // unset Locale behaves like an unknown one.
    static std::string GetText(TranslaterText key);

    // Every locale of the table, in the table's (byte-wise) order.
    static std::vector<std::string> GetLocales();

    // The locale the user first sees, chosen from the system's preferred
    // language on first use and kept for the life of the process.
    static const std::string& GetDefaultLocale();

    // The most preferred language of the user as the system reports it, such
    // as "fr-FR"; empty when it reports none.
    static std::string GetSystemUiLocale();

    // The default-locale rule without the system query: an exact table
    // locale is kept; Chinese goes by script, then region, to "zh-TW" or
    // "zh-CN"; otherwise the first table locale with the same language
    // subtag; otherwise "en-US".
    static std::string ChooseDefaultLocale(const std::string& systemLocale);

    // The text that describes how a process ended: None and outcomes
    // without a text of their own read as a failure, success has no text.
    static TranslaterText ProcessStateToText(ProcessOutcome outcome);
};

} // namespace Zentak
