#include <cstdlib>
#include <iostream>

#include "splash/console_splash.h"
#include "splash/splash_availability.h"
#include "utils/settings.h"

namespace Zentak {

bool SplashCanRun(std::string& reason)
{
    if (Settings::GetBool(Settings::ID::Unattended)) {
        return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        reason = "installer: no display available; run it on a desktop, or with --unattended";
        return false;
    }
    reason = "installer: this build has no window; run it with --unattended";
    return false;
}

std::unique_ptr<ISplash> CreateSplash(ISplashEventObserver& observer)
{
    return std::make_unique<ConsoleSplash>(observer, std::cout);
}

} // namespace Zentak
