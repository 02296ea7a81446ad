#pragma once

#include <string>

namespace Zentak::Util {

// Hands the user's language on to a product being installed: stores
// FixLocaleName(locale) ("de-DE" becomes "de_DE") under the key "locale" of
// the product's per-user preferences,
//   <home>/Library/Preferences/<bundleId>.plist,
// and checks that it reads back. The home is HOME, else USERPROFILE, else
// HOMEDRIVE followed by HOMEPATH.
//
// Returns false, without touching any file, when either argument is empty,
// when `bundleId` is not a plain file name (it comes from the downloaded
// configuration, so "../x", "a/b" or control characters are refused) or when
// `locale` is not a language tag; false too when writing or reading back
// fails. Never throws.
//
// Blocks the calling thread until the preference is written (on macOS, until
// the "defaults" tool has run twice). Safe from any thread; two calls for the
// same bundle id at once race like any two writers of one file.
bool SetLocale(const std::string& locale, const std::string& bundleId);

} // namespace Zentak::Util
