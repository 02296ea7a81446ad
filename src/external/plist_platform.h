#pragma once

// What the preference plist layer shares between its plist files
// (plist.cpp) and its platform halves (plist_linux.cpp, plist_mac.mm).

#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>

#include "external/plist.h"
#include "external/durable_file.h"

namespace Zentak::Util {

// A plist file of our own making (libplist, replaced by rename): the whole
// behaviour that plist.h describes. `readExisting` false starts empty.
std::unique_ptr<PlistDictionary> OpenPlistFile(const boost::filesystem::path& path,
                                               bool readExisting);

// The home folder of the user database; empty when the user has none.
std::string UserDatabaseHome();

} // namespace Zentak::Util
