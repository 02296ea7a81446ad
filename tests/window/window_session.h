#pragma once

// One run of the built program with its window, for a window test: a virtual
// display, the development server with the example product (or content the
// test writes), HOME and TMPDIR in a temporary folder, and the program in the
// background while the test drives it.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop.h"
#include "harness/dev_server.h"
#include "harness/process.h"
#include "harness/temp_dir.h"

namespace Zentak::WindowTest {

// Sizes of the window's content and of the frame GNUstep draws around it
// when no window manager runs.
constexpr int kContentWidth = 640;
constexpr int kContentHeight = 440;
constexpr int kFrameBorder = 1;
constexpr int kTitleBarHeight = 23;

struct SessionOptions {
    // Writes the content folder; the example product when not set.
    std::function<void(const std::filesystem::path&)> makeContent;
    std::vector<std::string> serverArgs;
    // Replaces "--config-url=<the server's configuration>" when set.
    std::optional<std::vector<std::string>> programArgs;
    E2e::EnvironmentChanges env;
};

class WindowSession {
public:
    // `name` names the screenshot folder. Throws when something cannot start.
    WindowSession(const std::string& name, SessionOptions options = {});
    ~WindowSession();
    WindowSession(const WindowSession&) = delete;
    WindowSession& operator=(const WindowSession&) = delete;

    E2e::DevServer& Server() { return *m_server; }
    const Desktop& Screen() const { return *m_desktop; }
    const std::filesystem::path& Home() const { return m_home; }

    // Waits for the installer's window; false when it did not appear.
    bool WaitForWindow(std::chrono::milliseconds limit);
    const std::string& MainWindow() const { return m_window; }
    std::string Title() const;
    // The main window's frame when it appeared.
    Rect Frame() const;
    // The content's frame on the screen.
    Rect Content() const;
    // A rectangle of the page (origin at the bottom left, as the pages lay
    // themselves out) on the screen.
    Rect PageRect(int x, int y, int width, int height) const;
    void ClickPage(int x, int y) const;
    // The window's own close button in its title bar.
    void ClickCloseButton() const;

    // Windows other than the main one that are on the screen: dialogs.
    std::vector<std::string> Dialogs() const;
    // Waits for exactly one dialog and returns its id.
    std::optional<std::string> WaitForDialog(std::chrono::milliseconds limit) const;
    // Presses the dialog's button number `index` in the order the buttons
    // were added (GNUstep lays the first one out rightmost). The screenshot
    // `shot` is taken first. False when the dialog does not have `count`
    // buttons.
    bool PressDialogButton(const std::string& dialog, int index, int count,
                           const std::string& shot) const;

    std::vector<E2e::CollectedEvent> Events() const { return m_server->Events(); }
    // How many events of that name arrived, optionally with that parameter value.
    size_t CountEvents(const std::string& name, const std::string& param = {},
                       const std::string& value = {}) const;
    bool WaitForEvent(const std::string& name, std::chrono::milliseconds limit,
                      const std::string& param = {}, const std::string& value = {},
                      size_t count = 1) const;

    // The names of the events received so far, for failure messages.
    std::string EventNames() const;

    // Waits for the program to end by itself; nullopt when it did not.
    std::optional<E2e::ProcessResult> WaitForExit(std::chrono::milliseconds limit);
    bool Running() const;
    // Standard error of the program so far, for failure messages.
    std::string ProgramErrors() const;

private:
    E2e::TempDir m_temp{"zentak-window"};
    std::filesystem::path m_home;
    std::filesystem::path m_tmp;
    std::unique_ptr<E2e::DevServer> m_server;
    std::unique_ptr<VirtualDisplay> m_display;
    std::unique_ptr<Desktop> m_desktop;
    std::unique_ptr<E2e::BackgroundProcess> m_program;
    std::optional<E2e::ProcessResult> m_result;
    std::string m_window;
    Rect m_frame;
};

} // namespace Zentak::WindowTest
