// Whether the X display the window would use can be opened. Kept apart from
// the Objective-C++ sources: Xlib's macros (None, Status, ...) clash with
// names of our own headers.

#include "splash/window/mac_splash.h"

#include <cstdlib>
#include <string>

// Last: its macros would rename what the headers above declare.
#include <X11/Xlib.h>

namespace Zentak {

bool WindowDisplayAvailable(std::string& reason)
{
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        reason = "installer: no display available; run it on a desktop, or with --unattended";
        return false;
    }
    Display* display = XOpenDisplay(name);
    if (!display) {
        reason = std::string("installer: cannot open display \"") + name +
                 "\"; run it on a desktop, or with --unattended";
        return false;
    }
    XCloseDisplay(display);
    return true;
}

} // namespace Zentak
