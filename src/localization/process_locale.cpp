#include "localization/process_locale.h"

#include <cstdlib>
#include <sstream>

#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>
#include <glog/logging.h>

#include "localization/process_locale_platform.h"
#include "utils/string_utils.h"

namespace Zentak::Util {
namespace {

// An unset and an empty variable alike give no directory.
std::string EnvironmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string GetHomeDirectory()
{
    std::string home = EnvironmentValue("HOME");
    if (home.empty()) {
        home = EnvironmentValue("USERPROFILE");
    }
    if (home.empty()) {
        const std::string drive = EnvironmentValue("HOMEDRIVE");
        const std::string path = EnvironmentValue("HOMEPATH");
        if (!drive.empty() && !path.empty()) {
            home = drive + path;
        }
    }
    if (home.empty()) {
        LOG(INFO) << "Failed to determine home directory";
    }
    return home;
}

bool IsAsciiAlphanumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Bundle identifiers are reverse-DNS names. Anything else could name a file
// outside the preferences folder ("../x", "a/b") or one no tool can handle.
bool IsSafeBundleId(const std::string& bundleId)
{
    if (bundleId.empty() || bundleId.find("..") != std::string::npos) {
        return false;
    }
    for (const char c : bundleId) {
        if (!IsAsciiAlphanumeric(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return true;
}

// A language tag, so that the value is stored as the plain string it is and
// never read as a property-list literal by the tool that writes it.
bool IsLanguageTag(const std::string& locale)
{
    for (const char c : locale) {
        if (!IsAsciiAlphanumeric(c) && c != '-' && c != '_') {
            return false;
        }
    }
    return !locale.empty();
}

// Refused input is logged with its control characters visible.
std::string Printable(const std::string& text)
{
    std::ostringstream out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            out << "\\x" << kHex[byte >> 4] << kHex[byte & 0xF];
        } else {
            out << c;
        }
    }
    return out.str();
}

} // namespace

bool SetLocale(const std::string& locale, const std::string& bundleId)
{
    LOG(INFO) << "for bundleId: " << Printable(bundleId)
              << " SetLocale called with locale: " << Printable(locale);
    if (bundleId.empty() || locale.empty()) {
        return false;
    }
    if (!IsSafeBundleId(bundleId)) {
        LOG(WARNING) << "Refusing to write the locale for bundleId \"" << Printable(bundleId)
                     << "\": not a plain file name";
        return false;
    }
    if (!IsLanguageTag(locale)) {
        LOG(WARNING) << "Refusing to write locale \"" << Printable(locale) << "\" for bundleId "
                     << bundleId << ": not a language tag";
        return false;
    }

    const std::string home = GetHomeDirectory();
    const std::string preferences = home + "/Library/Preferences/";
    const std::string path = preferences + bundleId + ".plist";
    const std::string value = FixLocaleName(locale);

    // A fresh account may lack the folder; without a home there is no
    // per-user folder of ours to create.
    if (!home.empty()) {
        boost::system::error_code error;
        boost::filesystem::create_directories(preferences, error);
        if (error) {
            LOG(INFO) << "Failed to create preferences folder " << preferences << ": "
                      << error.message();
        }
    }

    LOG(INFO) << "write locale to plist: " << path << " locale: " << value;
    return WriteLocalePreference(path, value);
}

} // namespace Zentak::Util
