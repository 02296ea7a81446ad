#pragma once

// The platform half of SetLocale: how a preference value is written and read
// back. process_locale_linux.cpp uses our plist layer, process_locale_mac.mm the
// system's "defaults" tool.

#include <string>

namespace Zentak::Util {

// Writes `value` under the key "locale" of the preference file `path` and
// reads the file back; true only when both succeed. Logs each step with the
// path. Never throws.
bool WriteLocalePreference(const std::string& path, const std::string& value);

} // namespace Zentak::Util
