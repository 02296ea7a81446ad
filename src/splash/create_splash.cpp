#include <cstdlib>
#include <iostream>

#include "splash/console_splash.h"
#include "splash/splash_availability.h"
#include "utils/settings.h"

#ifdef ZENTAK_WITH_WINDOW
#include "splash/window/mac_splash.h"
#endif

namespace Zentak {

bool SplashCanRun(std::string& reason)
{
    if (Settings::GetBool(Settings::ID::Unattended)) {
        return true;
    }
#ifdef ZENTAK_WITH_WINDOW
    return WindowDisplayAvailable(reason);
#else
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        reason = "installer: no display available; run it on a desktop, or with --unattended";
        return false;
    }
    reason = "installer: this build has no window; run it with --unattended";
    return false;
#endif
}

std::unique_ptr<ISplash> CreateSplash(ISplashEventObserver& observer)
{
#ifdef ZENTAK_WITH_WINDOW
    if (!Settings::GetBool(Settings::ID::Unattended)) {
        return std::make_unique<MacSplash>(observer);
    }
#endif
    return std::make_unique<ConsoleSplash>(observer, std::cout,
                                           Settings::GetBool(Settings::ID::ProgressJson));
}

} // namespace Zentak
