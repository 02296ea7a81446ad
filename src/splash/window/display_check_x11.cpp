// Whether the X display the window would use can be opened. Xlib is loaded
// when asked (GNUstep's back end loads it anyway), so that neither its
// headers, whose macros clash with our names, nor its development package
// are needed to build.

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "splash/window/mac_splash.h"

namespace Zentak {
namespace {

struct XDisplay;
using OpenDisplay = XDisplay* (*)(const char*);
using CloseDisplay = int (*)(XDisplay*);

constexpr const char* kAdvice = "; run it on a desktop, or with --unattended";

} // namespace

bool WindowDisplayAvailable(std::string& reason)
{
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        reason = std::string("installer: no display available") + kAdvice;
        return false;
    }
    void* xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!xlib) {
        reason = std::string("installer: cannot load libX11 to open display \"") + name + "\"" +
                 kAdvice;
        return false;
    }
    const auto open = reinterpret_cast<OpenDisplay>(dlsym(xlib, "XOpenDisplay"));
    const auto close = reinterpret_cast<CloseDisplay>(dlsym(xlib, "XCloseDisplay"));
    XDisplay* display = open && close ? open(name) : nullptr;
    if (display) {
        close(display);
    }
    dlclose(xlib);
    if (!display) {
        reason = std::string("installer: cannot open display \"") + name + "\"" + kAdvice;
        return false;
    }
    return true;
}

} // namespace Zentak
