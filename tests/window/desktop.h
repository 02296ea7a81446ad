#pragma once

// What a window test needs around the program: a virtual X display of its
// own, xdotool to find windows and press the mouse like a person, and
// screenshots that are kept as artefacts and read back as pixels.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness/process.h"
#include "support/wait_for.h"

namespace Zentak::WindowTest {

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Whether `program` is found in PATH.
bool HasProgram(const std::string& program);

// An Xvfb server on a display number it picks itself (-displayfd), so tests
// running side by side do not meet. Stopped by the destructor.
class VirtualDisplay {
public:
    // Throws std::runtime_error when the server does not come up.
    explicit VirtualDisplay(const std::filesystem::path& logFile);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":<n>"
    const std::string& Name() const { return m_name; }

private:
    std::unique_ptr<E2e::BackgroundProcess> m_server;
    std::string m_name;
};

// A screenshot as 8-bit RGB pixels.
class Image {
public:
    // Reads a picture file through ImageMagick; throws when it cannot.
    static Image Load(const std::filesystem::path& file);

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // 0xRRGGBB; black outside the picture.
    uint32_t Pixel(int x, int y) const;
    // The number of different colours inside `area`.
    size_t Colours(const Rect& area) const;
    // Whether `area` holds the same pixels in both pictures.
    bool SameArea(const Image& other, const Rect& area) const;

private:
    int m_width = 0;
    int m_height = 0;
    std::string m_rgb;
};

// The buttons of a GNUstep alert panel, left to right, found on the row
// through their middle: each begins with its white bevel edge and ends with
// its dark grey and black shadow edge.
std::vector<Rect> FindAlertButtons(const Image& screen, const Rect& panel);

// xdotool and ImageMagick on one display.
class Desktop {
public:
    Desktop(std::string display, std::filesystem::path screenshotDir);

    const std::string& Display() const { return m_display; }
    // Ids of the mapped windows whose names match the pattern (a regular
    // expression, as xdotool takes it).
    std::vector<std::string> VisibleWindows(const std::string& namePattern) const;
    std::string WindowName(const std::string& id) const;
    // The window that has the keyboard: the toolkit gives it to the window it
    // makes key.
    std::string FocusedWindow() const;
    // The window's frame on the screen, decorations included.
    Rect Geometry(const std::string& id) const;
    // Moves the pointer there and presses the left button for 0.1 s.
    void Click(int x, int y) const;
    // Saves the whole screen as <screenshot dir>/<name>.png and reads it.
    Image Capture(const std::string& name) const;
    std::filesystem::path ScreenshotPath(const std::string& name) const;

private:
    E2e::ProcessResult Run(const std::vector<std::string>& argv) const;

    std::string m_display;
    std::filesystem::path m_screenshotDir;
};

using Test::WaitFor;

// Ends the GNUstep notification daemons (gdnc) that a program started with
// HOME set to `home`: they outlive the program that started them.
void EndToolkitDaemons(const std::filesystem::path& home);

} // namespace Zentak::WindowTest
