#include "window_session.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "harness/installer_run.h"
#include "localization/translater.h"

namespace Zentak::WindowTest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Regular expression for the installer's window: any title of the first
// window ("Installer" or the welcome text of a locale).
const std::string kAnyName = ".";

} // namespace

WindowSession::WindowSession(const std::string& name, SessionOptions options)
    : m_home(m_temp.Sub("home")), m_tmp(m_temp.Sub("tmp"))
{
    const fs::path content = m_temp.Sub("content");
    if (options.makeContent) {
        options.makeContent(content);
    } else {
        E2e::MakeExampleContent(content);
    }
    m_server = std::make_unique<E2e::DevServer>(content, m_temp.Path() / "state",
                                                options.serverArgs);
    m_display = std::make_unique<VirtualDisplay>(m_temp.Path() / "xvfb.log");
    m_desktop = std::make_unique<Desktop>(
        m_display->Name(), fs::path(ZENTAK_WINDOW_SCREENSHOT_DIR) / name);

    E2e::EnvironmentChanges env;
    env["HOME"] = m_home.string();
    env["TMPDIR"] = m_tmp.string();
    env["DISPLAY"] = m_display->Name();
    env["ZENTAK_UID_SERVICE_URL"] = m_server->UidServiceUrl();
    for (const char* proxy : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                              "all_proxy", "ALL_PROXY"}) {
        env[proxy] = std::nullopt;
    }
    for (const auto& [key, value] : options.env) {
        env[key] = value;
    }
    std::vector<std::string> argv{E2e::InstallerProgram().string()};
    const std::vector<std::string> args =
        options.programArgs ? *options.programArgs
                            : std::vector<std::string>{"--config-url=" + m_server->ConfigUrl()};
    argv.insert(argv.end(), args.begin(), args.end());
    m_program = std::make_unique<E2e::BackgroundProcess>(argv, env, m_temp.Path() / "program.err");
}

WindowSession::~WindowSession()
{
    if (m_program && !m_result) {
        m_program->Stop(1s);
    }
    m_program.reset();
    EndToolkitDaemons(m_home);
    m_desktop.reset();
    m_display.reset();
}

bool WindowSession::WaitForWindow(std::chrono::milliseconds limit)
{
    // The main window is known by its title: "Installer" until the texts are
    // set, then the welcome text of the current locale. (The toolkit maps
    // small helper windows of its own for a moment at start.)
    std::vector<std::string> titles{"Installer"};
    for (const std::string& locale : Translater::GetLocales()) {
        titles.push_back(Translater::GetLocalizedText(TranslaterText::WindowTitle, locale));
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const bool mapped = WaitFor(
        [&] {
            for (const std::string& window : m_desktop->VisibleWindows(kAnyName)) {
                const std::string name = m_desktop->WindowName(window);
                if (std::find(titles.begin(), titles.end(), name) != titles.end()) {
                    m_window = window;
                    // It neither moves nor resizes; kept, so that pages
                    // can still be found on screenshots once it is gone.
                    m_frame = m_desktop->Geometry(window);
                    return true;
                }
            }
            return false;
        },
        limit);
    // Mapped is not yet drawn: on a busy machine the first screenshots of a
    // new window are black. It counts as shown once its page has colours.
    return mapped && WaitFor(
                         [&] { return m_desktop->Capture("waiting").Colours(Content()) >= 8; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::max(deadline - std::chrono::steady_clock::now(),
                                      std::chrono::steady_clock::duration::zero())),
                         std::chrono::milliseconds(100));
}

std::string WindowSession::Title() const
{
    return m_desktop->WindowName(m_window);
}

Rect WindowSession::Frame() const
{
    return m_frame;
}

Rect WindowSession::Content() const
{
    const Rect frame = Frame();
    return Rect{frame.x + kFrameBorder, frame.y + kTitleBarHeight, kContentWidth, kContentHeight};
}

Rect WindowSession::PageRect(int x, int y, int width, int height) const
{
    const Rect content = Content();
    return Rect{content.x + x, content.y + kContentHeight - (y + height), width, height};
}

void WindowSession::ClickPage(int x, int y) const
{
    const Rect point = PageRect(x, y, 0, 0);
    m_desktop->Click(point.x, point.y);
}

void WindowSession::ClickCloseButton() const
{
    // GNUstep draws the close button at the right end of its title bar.
    const Rect frame = Frame();
    m_desktop->Click(frame.x + frame.width - 12, frame.y + 11);
}

std::vector<std::string> WindowSession::Dialogs() const
{
    // Alert panels; not the toolkit's small helper windows, which it maps
    // for a moment now and then.
    constexpr int kSmallestPanelWidth = 150;
    constexpr int kSmallestPanelHeight = 100;
    std::vector<std::string> dialogs;
    for (const std::string& window : m_desktop->VisibleWindows(kAnyName)) {
        if (window == m_window) {
            continue;
        }
        try {
            const Rect frame = m_desktop->Geometry(window);
            if (frame.width >= kSmallestPanelWidth && frame.height >= kSmallestPanelHeight) {
                dialogs.push_back(window);
            }
        } catch (const std::runtime_error&) {
            // Gone between the search and the question.
        }
    }
    return dialogs;
}

std::optional<std::string> WindowSession::WaitForDialog(std::chrono::milliseconds limit) const
{
    std::optional<std::string> dialog;
    WaitFor(
        [&] {
            const std::vector<std::string> dialogs = Dialogs();
            if (dialogs.size() == 1) {
                dialog = dialogs.front();
                return true;
            }
            return false;
        },
        limit);
    return dialog;
}

bool WindowSession::PressDialogButton(const std::string& dialog, int index, int count,
                                      const std::string& shot) const
{
    // A click reaches a button of the panel once the panel is key; before
    // that it only makes it key. The toolkit moves the keyboard to the key
    // window, so that is what is waited for.
    WaitFor([&] { return m_desktop->FocusedWindow() == dialog; }, std::chrono::seconds(10),
            std::chrono::milliseconds(100));
    const Rect panel = m_desktop->Geometry(dialog);
    const Image screen = m_desktop->Capture(shot);
    const std::vector<Rect> buttons = FindAlertButtons(screen, panel);
    if (static_cast<int>(buttons.size()) != count || index < 0 || index >= count) {
        return false;
    }
    const Rect& button = buttons[static_cast<size_t>(count - 1 - index)];
    m_desktop->Click(button.x + button.width / 2, button.y + button.height / 2);
    return true;
}

size_t WindowSession::CountEvents(const std::string& name, const std::string& param,
                                  const std::string& value) const
{
    const std::vector<E2e::CollectedEvent> events = Events();
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const auto& event) {
        return event.name == name && (param.empty() || event.Param(param) == value);
    }));
}

bool WindowSession::WaitForEvent(const std::string& name, std::chrono::milliseconds limit,
                                 const std::string& param, const std::string& value,
                                 size_t count) const
{
    return WaitFor([&] { return CountEvents(name, param, value) >= count; }, limit);
}

std::string WindowSession::EventNames() const
{
    std::string names;
    for (const E2e::CollectedEvent& event : Events()) {
        names += (names.empty() ? "" : " ") + event.name;
    }
    return "events: " + names;
}

std::optional<E2e::ProcessResult> WindowSession::WaitForExit(std::chrono::milliseconds limit)
{
    if (!m_result) {
        if (!m_program->WaitForExit(limit)) {
            return std::nullopt;
        }
        m_result = m_program->Stop();
    }
    return m_result;
}

bool WindowSession::Running() const
{
    return !m_result && !m_program->WaitForExit(0ms);
}

std::string WindowSession::ProgramErrors() const
{
    const std::string text = E2e::ReadFile(m_temp.Path() / "program.err");
    constexpr size_t kTail = 3000;
    return text.size() > kTail ? text.substr(text.size() - kTail) : text;
}

} // namespace Zentak::WindowTest
