#pragma once

#include <memory>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

// A preference plist opened as a dictionary of strings. Stored entries reach
// the file at the latest when the object is destroyed; the file is replaced
// by rename, so it is never left half written.
class PlistDictionary {
public:
    virtual ~PlistDictionary() = default;
    // The string under `key`; empty when the key or the file is missing.
    virtual std::string GetString(const std::string& key) const = 0;
    // Stores `value` under `key` and writes the file. Throws
    // std::runtime_error naming the path when the file cannot be written.
    virtual void SetString(const std::string& key, const std::string& value) = 0;
};

// $HOME/Library/Preferences (created when missing).
boost::filesystem::path GetPlistDirectory();
const char* GetZentakPlistPrefix(); // "com.zentak."
const char* GetPlistExtension();    // ".plist"

// Never null; the file need not exist yet.
std::unique_ptr<PlistDictionary> OpenPlistDictionary(const boost::filesystem::path& path);
// Never null; starts empty, whatever the file held.
std::unique_ptr<PlistDictionary> CreatePlistDictionary(const boost::filesystem::path& path);

// GetPlistDirectory() / (prefix + name + extension).
boost::filesystem::path ZentakPlistPath(const std::string& name);
std::unique_ptr<PlistDictionary> OpenZentakPlistDictionary(const std::string& name);
std::unique_ptr<PlistDictionary> CreateZentakPlistDictionary(const std::string& name);

} // namespace Zentak::Util
