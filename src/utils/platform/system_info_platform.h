#pragma once

#include <boost/filesystem/path.hpp>

// What each platform's system queries provide to the shared ones.
namespace Zentak::Util {

// The bundle's resource folder as the platform finds it.
boost::filesystem::path PlatformResourcesPath();

} // namespace Zentak::Util
