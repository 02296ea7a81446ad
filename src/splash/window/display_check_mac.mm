// Whether the window server will take a window from us. Started from an ssh
// login, by a launch daemon or before anyone has logged in, the process has
// no window session: AppKit would then fail deep inside its start with a
// message of its own, or wait. The session dictionary exists exactly when
// the process runs in a graphical login session with the window server up.

#include <CoreGraphics/CoreGraphics.h>

#include <string>

#include "splash/window/mac_splash.h"

namespace Zentak {

bool WindowDisplayAvailable(std::string& reason)
{
    CFDictionaryRef session = CGSessionCopyCurrentDictionary();
    if (!session) {
        reason = "installer: no window session available; run it in a desktop session of the "
                 "logged-in user, or with --unattended";
        return false;
    }
    CFRelease(session);
    return true;
}

} // namespace Zentak
