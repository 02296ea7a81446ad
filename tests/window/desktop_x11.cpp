#include "desktop.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

#include "harness/temp_dir.h"

namespace Zentak::WindowTest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kToolLimit = 30s;
constexpr auto kDisplayStartLimit = 15s;

// Colours of GNUstep's default button bevel.
constexpr uint32_t kBevelLight = 0xFFFFFF;
constexpr uint32_t kBevelShadow = 0x555555;
constexpr uint32_t kBevelDark = 0x000000;
// The middle of an alert's buttons, above the panel's bottom edge.
constexpr int kAlertButtonRowFromBottom = 22;

int ParseInt(const std::string& text, const std::string& what)
{
    try {
        size_t used = 0;
        const int value = std::stoi(text, &used);
        if (used == text.size()) {
            return value;
        }
    } catch (const std::exception&) {
    }
    throw std::runtime_error("not a number for " + what + ": \"" + text + "\"");
}

// The value after "<key>=" in xdotool's --shell output.
int ShellValue(const std::string& output, const std::string& key)
{
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            return ParseInt(line.substr(key.size() + 1), key);
        }
    }
    throw std::runtime_error("no " + key + " in: " + output);
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

} // namespace

bool HasProgram(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (!folder.empty() && access((fs::path(folder) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

VirtualDisplay::VirtualDisplay(const fs::path& logFile)
{
    // -displayfd: the server takes the first free display number and writes
    // it to the given descriptor (its standard output here). -noreset: by
    // default the server resets when its last client leaves, and a client
    // connecting in that moment is refused (the program's own display check
    // is such a last client, just before the toolkit connects).
    m_server = std::make_unique<E2e::BackgroundProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24",
                                 "-nolisten", "tcp", "-noreset"},
        E2e::EnvironmentChanges{}, logFile);
    const std::optional<std::string> number =
        m_server->ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(kDisplayStartLimit));
    if (!number || number->empty()) {
        m_server->Stop(1s);
        throw std::runtime_error("Xvfb did not report its display; see " + logFile.string());
    }
    m_name = ":" + Trimmed(*number);
}

VirtualDisplay::~VirtualDisplay()
{
    m_server->Stop(3s);
}

Image Image::Load(const fs::path& file)
{
    const E2e::ProcessResult result =
        E2e::RunProcess({"convert", file.string(), "-depth", "8", "ppm:-"}, {}, kToolLimit);
    if (result.exitCode != 0) {
        throw std::runtime_error("convert " + file.string() + ": " + result.Describe());
    }
    // P6\n<width> <height>\n<max>\n<rgb bytes>, comments aside.
    std::istringstream header(result.out);
    std::string magic;
    int width = 0;
    int height = 0;
    int maximum = 0;
    header >> magic >> width >> height >> maximum;
    if (magic != "P6" || width <= 0 || height <= 0 || maximum != 255) {
        throw std::runtime_error("unexpected picture header from " + file.string());
    }
    const std::streamoff start = static_cast<std::streamoff>(header.tellg()) + 1;
    Image image;
    image.m_width = width;
    image.m_height = height;
    image.m_rgb = result.out.substr(static_cast<size_t>(start));
    if (image.m_rgb.size() < static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
        throw std::runtime_error("short picture data from " + file.string());
    }
    return image;
}

uint32_t Image::Pixel(int x, int y) const
{
    if (x < 0 || y < 0 || x >= m_width || y >= m_height) {
        return 0;
    }
    const size_t at = (static_cast<size_t>(y) * static_cast<size_t>(m_width) +
                       static_cast<size_t>(x)) * 3;
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(m_rgb[i])); };
    return (byte(at) << 16) | (byte(at + 1) << 8) | byte(at + 2);
}

size_t Image::Colours(const Rect& area) const
{
    std::unordered_set<uint32_t> colours;
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) {
            colours.insert(Pixel(x, y));
        }
    }
    return colours.size();
}

bool Image::SameArea(const Image& other, const Rect& area) const
{
    for (int y = area.y; y < area.y + area.height; ++y) {
        for (int x = area.x; x < area.x + area.width; ++x) {
            if (Pixel(x, y) != other.Pixel(x, y)) {
                return false;
            }
        }
    }
    return true;
}

std::vector<Rect> FindAlertButtons(const Image& screen, const Rect& panel)
{
    std::vector<Rect> buttons;
    const int y = panel.y + panel.height - kAlertButtonRowFromBottom;
    const int end = panel.x + panel.width;
    int x = panel.x;
    while (x < end) {
        if (screen.Pixel(x, y) != kBevelLight) {
            ++x;
            continue;
        }
        int right = x + 1;
        while (right + 1 < end &&
               !(screen.Pixel(right, y) == kBevelShadow && screen.Pixel(right + 1, y) == kBevelDark)) {
            ++right;
        }
        if (right + 1 >= end) {
            break;
        }
        buttons.push_back(Rect{x, y - 8, right + 2 - x, 16});
        x = right + 2;
    }
    return buttons;
}

Desktop::Desktop(std::string display, fs::path screenshotDir)
    : m_display(std::move(display)), m_screenshotDir(std::move(screenshotDir))
{
    fs::create_directories(m_screenshotDir);
}

E2e::ProcessResult Desktop::Run(const std::vector<std::string>& argv) const
{
    return E2e::RunProcess(argv, {{"DISPLAY", m_display}}, kToolLimit);
}

std::vector<std::string> Desktop::VisibleWindows(const std::string& namePattern) const
{
    const E2e::ProcessResult result =
        Run({"xdotool", "search", "--onlyvisible", "--name", namePattern});
    std::vector<std::string> ids;
    std::istringstream in(result.out);
    std::string line;
    while (std::getline(in, line)) {
        if (!Trimmed(line).empty()) {
            ids.push_back(Trimmed(line));
        }
    }
    return ids;
}

std::string Desktop::FocusedWindow() const
{
    return Trimmed(Run({"xdotool", "getwindowfocus"}).out);
}

std::string Desktop::WindowName(const std::string& id) const
{
    return Trimmed(Run({"xdotool", "getwindowname", id}).out);
}

Rect Desktop::Geometry(const std::string& id) const
{
    const E2e::ProcessResult result = Run({"xdotool", "getwindowgeometry", "--shell", id});
    if (result.exitCode != 0) {
        throw std::runtime_error("xdotool getwindowgeometry " + id + ": " + result.Describe());
    }
    return Rect{ShellValue(result.out, "X"), ShellValue(result.out, "Y"),
                ShellValue(result.out, "WIDTH"), ShellValue(result.out, "HEIGHT")};
}

void Desktop::Click(int x, int y) const
{
    const E2e::ProcessResult result =
        Run({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "mousedown", "1",
             "sleep", "0.1", "mouseup", "1"});
    if (result.exitCode != 0) {
        throw std::runtime_error("xdotool click: " + result.Describe());
    }
}

fs::path Desktop::ScreenshotPath(const std::string& name) const
{
    return m_screenshotDir / (name + ".png");
}

Image Desktop::Capture(const std::string& name) const
{
    const fs::path file = ScreenshotPath(name);
    const E2e::ProcessResult result = Run({"import", "-window", "root", file.string()});
    if (result.exitCode != 0) {
        throw std::runtime_error("import: " + result.Describe());
    }
    return Image::Load(file);
}

void EndToolkitDaemons(const fs::path& home)
{
    const std::string wanted = "HOME=" + home.string();
    std::vector<pid_t> daemons;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        if (Trimmed(E2e::ReadFile(entry.path() / "comm")) != "gdnc") {
            continue;
        }
        std::istringstream environment(E2e::ReadFile(entry.path() / "environ"));
        std::string variable;
        while (std::getline(environment, variable, '\0')) {
            if (variable == wanted) {
                daemons.push_back(static_cast<pid_t>(std::stol(name)));
                break;
            }
        }
    }
    for (pid_t daemon : daemons) {
        kill(daemon, SIGTERM);
    }
    const auto ended = [](pid_t daemon) {
        // Gone, or a zombie waiting for init to reap it.
        const std::string stat =
            E2e::ReadFile(fs::path("/proc") / std::to_string(daemon) / "stat");
        const size_t close = stat.rfind(')');
        return stat.empty() || (close != std::string::npos && close + 2 < stat.size() &&
                                stat[close + 2] == 'Z');
    };
    for (pid_t daemon : daemons) {
        if (!WaitFor([&] { return ended(daemon); }, 2s, 50ms)) {
            kill(daemon, SIGKILL);
        }
    }
}

} // namespace Zentak::WindowTest
