#include "splash/console_splash.h"

#include <cstdlib>

#include <glog/logging.h>

#include "localization/translater.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "utils/string_utils.h"

namespace Zentak {
namespace {

const char* PageName(ISplash::Page page)
{
    switch (page) {
    case ISplash::Start: return "Start";
    case ISplash::Progress: return "Progress";
    case ISplash::Wait: return "Wait";
    case ISplash::Ready: return "Ready";
    case ISplash::Cancel: return "Cancel";
    }
    return "Unknown";
}

std::string OneLine(const std::string& text)
{
    return Util::ReplaceAll(text, "\n", " ");
}


} // namespace

const char* ImageTypeName(const std::string& data)
{
    auto startsWith = [&](const std::string& magic) { return data.compare(0, magic.size(), magic) == 0; };
    if (startsWith("\x89PNG\r\n\x1a\n")) {
        return "PNG";
    }
    if (startsWith("\xff\xd8\xff")) {
        return "JPEG";
    }
    if (startsWith("GIF87a") || startsWith("GIF89a")) {
        return "GIF";
    }
    if (startsWith("BM")) {
        return "BMP";
    }
    if (startsWith(std::string("II*\0", 4)) || startsWith(std::string("MM\0*", 4))) {
        return "TIFF";
    }
    return "unknown";
}

ConsoleSplash::ConsoleSplash(ISplashEventObserver& observer, std::ostream& out, bool json)
    : m_observer(observer), m_out(out), m_json(json)
{
    // What the start page does when it is built: the installation goes to the
    // local Applications folder, and the language starts as the default one.
    Settings::Set(Settings::ID::InstallDir, Util::GetApplicationsFolder());
    Settings::Set(Settings::ID::Locale, Translater::GetDefaultLocale());

#ifdef ZENTAK_TEST_SEAMS
    // Scripted answers for the tests; only builds made with the tests read them.
    if (const char* answers = std::getenv("ZENTAK_TEST_RETRY_ANSWERS")) {
        for (const std::string& answer : Util::Split(answers, ',')) {
            m_retryAnswers.push_back(answer);
        }
    }
#endif
}


ConsoleSplash::~ConsoleSplash() = default;

void ConsoleSplash::Print(const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_outMutex);
    m_out << line << std::endl;
}

void ConsoleSplash::Emit(const std::string& human, const JsonLine& json)
{
    Print(m_json ? json.Text() : human);
}

void ConsoleSplash::Answer(const std::string& dialog, const std::string& answer)
{
    if (m_json) {
        Print(JsonLine("dialog").Add("text", dialog).Add("answer", answer).Text());
        return;
    }
    Print("Dialog: " + dialog);
    Print("Answer: " + answer);
}

void ConsoleSplash::Perform(std::function<void()> task)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_loopEnded || m_loopThread == std::this_thread::get_id()) {
        lock.unlock();
        task();
        return;
    }
    m_tasks.push_back(std::move(task));
    const unsigned long long ticket = ++m_tasksQueued;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_tasksDone >= ticket || m_loopEnded; });
}

void ConsoleSplash::RunSplash()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_loopThread = std::this_thread::get_id();
    }
    // However the loop ends, callers waiting for it must be released.
    struct LoopEnd {
        ConsoleSplash& splash;
        ~LoopEnd()
        {
            std::lock_guard<std::mutex> lock(splash.m_mutex);
            splash.m_loopEnded = true;
            splash.m_changed.notify_all();
        }
    } loopEnd{*this};
    const std::string title = OneLine(Translater::GetText(TranslaterText::WindowTitle));
    Emit(title, JsonLine("title").Add("text", title));
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return !m_tasks.empty() || m_stopRequested; });
            if (m_tasks.empty()) {
                break;
            }
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
        }
        try {
            task();
        } catch (const std::exception& error) {
            LOG(ERROR) << "Console splash task failed: " << error.what();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_tasksDone;
        m_changed.notify_all();
    }
}

void ConsoleSplash::SetPage(Page page)
{
    Perform([this, page] {
        Emit(std::string("Page: ") + PageName(page), JsonLine("page").Add("page", PageName(page)));
    });
}

void ConsoleSplash::UpdateProgress(int value)
{
    Perform([this, value] {
        if (value == m_lastProgress) {
            return;
        }
        m_lastProgress = value;
        if (value > 99) {
            const std::string text = OneLine(Translater::GetText(TranslaterText::CopyingFiles));
            Emit(text, JsonLine("progress").Add("percent", 100).Add("text", text));
        } else {
            Emit("Progress: " + std::to_string(value) + " %", JsonLine("progress").Add("percent", value));
        }
    });
}

void ConsoleSplash::UpdateInstallerInfo()
{
    Perform([this] {
        const std::string version = Util::ReplaceAll(
            Translater::GetText(TranslaterText::VersionLabel), "__PRODUCT_VERSION__",
            Settings::GetString(Settings::ID::ProductVersion));
        const std::string product = Settings::GetString(Settings::ID::ProductDisplayName);
        Emit(product + ", " + version,
             JsonLine("product")
                 .Add("name", product)
                 .Add("version", Settings::GetString(Settings::ID::ProductVersion)));
        if (m_started) {
            return;
        }
        m_started = true;
        // Nobody is there to tick the box and press install: do it for them.
        const std::string consent = Translater::GetText(TranslaterText::AcceptEula);
        Emit(consent + ": " + Translater::GetText(TranslaterText::YesButton),
             JsonLine("consent").Add("text", consent).Add("given", true));
        m_observer.OnConsentCheckboxStateChanged(true);
        const std::string install = Translater::GetText(TranslaterText::InstallButton);
        Emit(install, JsonLine("start").Add("button", install));
        m_observer.OnStartButtonPressed();
    });
}

void ConsoleSplash::Close()
{
    m_observer.OnExitButtonPressed();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopRequested = true;
    m_changed.notify_all();
}

void ConsoleSplash::SetMainImage(std::string data)
{
    Perform([this, size = data.size(), type = std::string(ImageTypeName(data))] {
        Emit("Picture for page Start: " + std::to_string(size) + " bytes, " + type,
             JsonLine("picture").Add("page", "Start").Add("bytes", static_cast<long long>(size)).Add("type", type));
    });
}

void ConsoleSplash::SetProgressImage(Page page, std::string data)
{
    Perform([this, page, size = data.size(), type = std::string(ImageTypeName(data))] {
        Emit(std::string("Picture for page ") + PageName(page) + ": " + std::to_string(size) +
                 " bytes, " + type,
             JsonLine("picture")
                 .Add("page", PageName(page))
                 .Add("bytes", static_cast<long long>(size))
                 .Add("type", type));
    });
}

void ConsoleSplash::SetCloseButtonState(ButtonState state)
{
    Perform([this, state] {
        Emit(std::string("Close button: ") + (state == Enabled ? "enabled" : "disabled"),
             JsonLine("close_button").Add("enabled", state == Enabled));
    });
}

void ConsoleSplash::ShowNoConnectionError()
{
    Perform([this] {
        if (m_noConnectionShown) {
            return;
        }
        m_noConnectionShown = true;
        Answer(OneLine(Translater::GetText(TranslaterText::NoConnection)),
               Translater::GetText(TranslaterText::OkButton));
        m_observer.OnExitButtonPressed();
    });
}

void ConsoleSplash::ShowRetryDialog(const std::string& product,
                                    IProcessExecutorObserver::ProcessState)
{
    Perform([this, product] {
        const std::string text = Util::ReplaceAll(
            Translater::GetText(TranslaterText::ProcessFailed), "__RETRY_PRODUCT__", product);
        std::string answer = "cancel";
        if (!m_retryAnswers.empty()) {
            answer = m_retryAnswers.front();
            m_retryAnswers.pop_front();
        }
        const std::string dialog = OneLine(text) + " (" + product + ")";
        if (answer == "retry") {
            Answer(dialog, Translater::GetText(TranslaterText::TryAgainButton));
            m_observer.OnRetryPressed();
        } else if (answer == "skip") {
            Answer(dialog, Translater::GetText(TranslaterText::SkipButton));
            m_observer.OnSkipPressed();
        } else {
            Answer(dialog, Translater::GetText(TranslaterText::CancelButton));
            m_observer.OnCancelPressed();
        }
    });
}

void ConsoleSplash::ShowPlatformRequiredDialog(const std::string&)
{
}

void ConsoleSplash::ShowInstallerAlreadyRunningDialog(const std::string&)
{
    Perform([this] {
        Emit("Dialog: Installer Already Running Dialog",
             JsonLine("dialog").Add("text", "Installer Already Running Dialog"));
    });
}

void ConsoleSplash::ShowNotEnoughDiskSpaceDialog(const std::string& disk, uint64_t required,
                                                 uint64_t available)
{
    Perform([this, disk, required, available] {
        const std::string text =
            Util::ReplaceAll(Translater::GetText(TranslaterText::NotEnoughSpace),
                             "__REQUIRED_SPACE__",
                             std::to_string(MissingSpaceMegabytes(required, available)));
        Answer(OneLine(text) + " (" + disk + ")", Translater::GetText(TranslaterText::CancelButton));
        m_observer.OnExitButtonPressed();
    });
}

void ConsoleSplash::ShowProgramIsRunningDialog(const std::string& name)
{
    Perform([this, name] {
        const std::string text = OneLine(Util::ReplaceAll(
            Translater::GetText(TranslaterText::CloseProductToContinue), "__PRODUCT_DISPLAY_NAME__",
            name));
        Emit("Dialog: " + text, JsonLine("dialog").Add("text", text));
        // Nobody can close the product for us: the run ends here.
        m_observer.OnExitButtonPressed();
    });
}

void ConsoleSplash::ShowInstallStep(int number, int count, const std::string& name)
{
    Perform([this, number, count, name] {
        Emit("Installing " + std::to_string(number) + " of " + std::to_string(count) + ": " + name,
             JsonLine("package")
                 .Add("state", "installing")
                 .Add("number", number)
                 .Add("count", count)
                 .Add("name", name));
    });
}

int64_t MissingSpaceMegabytes(uint64_t required, uint64_t available)
{
    const int64_t megabytes =
        (static_cast<int64_t>(required) - static_cast<int64_t>(available)) / 1000000;
    return megabytes < 2 ? 1 : megabytes;
}

} // namespace Zentak
