#include <exception>

#include <glog/logging.h>

#include "external/plist.h"
#include "localization/process_locale_platform.h"

namespace Zentak::Util {

// Stands in for the macOS "defaults" tool: the same key in the same file,
// written through the plist layer and read back from a fresh open of it.
bool WriteLocalePreference(const std::string& path, const std::string& value)
{
    try {
        {
            // The dictionary completes the file when it is destroyed.
            const auto preferences = OpenPlistDictionary(path);
            preferences->SetString("locale", value);
        }
        const std::string stored = OpenPlistDictionary(path)->GetString("locale");
        LOG(INFO) << "read locale back from plist: " << path << " locale: " << stored;
        if (stored != value) {
            LOG(INFO) << "Locale read back from plist " << path << " is \"" << stored
                      << "\", not \"" << value << "\"";
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        LOG(INFO) << "Failed to write locale to plist " << path << ": " << e.what();
        return false;
    }
}

} // namespace Zentak::Util
