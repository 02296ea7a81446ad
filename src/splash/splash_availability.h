#pragma once

#include <string>

namespace Zentak {

// Whether a splash can run here: the console splash of an unattended run,
// or a window on an available display. When not, `reason` says why in one
// line for the user.
bool SplashCanRun(std::string& reason);

} // namespace Zentak
