#pragma once

#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

// A preference plist opened as a dictionary of strings. Stored entries reach
// the file at the latest when the object is destroyed; the file is replaced
// by rename, so it is never left half written. The file is an XML property
// list; binary ones are read too. On macOS the plists directly in the
// preferences folder of the user's own home go through CFPreferences
// instead, so that cfprefsd, "defaults" and other programs see what is
// stored (cfprefsd chooses the file format and when the file is written).
// One object is used by one thread at a time; the caller owns it.
class PlistDictionary {
public:
    virtual ~PlistDictionary() = default;
    // The string under `key`; empty when the key or the file is missing or
    // the value is not a string.
    virtual std::string GetString(const std::string& key) const = 0;
    // Stores `value` under `key` and writes the file. Throws
    // std::runtime_error naming the path when the file cannot be written; the
    // entry stays stored and the destructor tries once more.
    virtual void SetString(const std::string& key, const std::string& value) = 0;
};

// $HOME/Library/Preferences (created when missing; a failure to create it is
// logged). Without HOME, the home folder of the user database is used.
boost::filesystem::path GetPlistDirectory();
const char* GetZentakPlistPrefix(); // "com.zentak."
const char* GetPlistExtension();    // ".plist"

// Never null; the file need not exist yet. An unreadable, corrupt or
// non-dictionary file reads as empty (logged); nothing is written until a
// string is stored.
std::unique_ptr<PlistDictionary> OpenPlistDictionary(const boost::filesystem::path& path);
// Never null; starts empty, whatever the file held. The file is written with
// the first stored string or, when nothing was stored, on destruction, so it
// exists afterwards even with no entries.
std::unique_ptr<PlistDictionary> CreatePlistDictionary(const boost::filesystem::path& path);

// GetPlistDirectory() / (prefix + name + extension).
boost::filesystem::path ZentakPlistPath(const std::string& name);
std::unique_ptr<PlistDictionary> OpenZentakPlistDictionary(const std::string& name);
std::unique_ptr<PlistDictionary> CreateZentakPlistDictionary(const std::string& name);

} // namespace Zentak::Util
