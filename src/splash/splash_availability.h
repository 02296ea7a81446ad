#pragma once

#include <string>

namespace Zentak {

// Whether a splash can run here: the console splash of an unattended run,
// or the window on a display that can be opened. When not, `reason` says why
// in one line for the user. Called on the main thread before the splash is
// created.
bool SplashCanRun(std::string& reason);

} // namespace Zentak
