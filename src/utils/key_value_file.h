#pragma once

#include <map>
#include <string>

#include <boost/filesystem/path.hpp>

namespace Zentak::Util {

// Sets `values` in a text file of "key=value" lines that a product reads,
// keeping every other line as it stands. A key already in the file keeps its
// place and takes the new value; copies of it further down (left by writers
// that appended) are dropped; keys not yet there follow in key order. The
// file is written whole to a temporary file beside it and renamed over it,
// so a reader, or a second writer, never sees a part of one. Returns false
// (and logs why) when the file cannot be written. Safe from any thread.
bool UpdateKeyValueFile(const boost::filesystem::path& path,
                        const std::map<std::string, std::string>& values);

} // namespace Zentak::Util
