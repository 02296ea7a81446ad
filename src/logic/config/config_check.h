#pragma once

#include <string>
#include <vector>

namespace Zentak {

// Reads configuration text offline, as a release team checks a file before
// publishing it, and returns its problems, each "<name>:<line>: <problem>":
// a syntax error (nothing else is checked then); unknown sections and keys,
// with the nearest known name when one is close; installer sections without
// an id or a URL, a product without a version, a statistics section without
// its address or key, no installer at all; a "sha256" that is not 64
// hexadecimal digits, a "size" or "install_order" that is not a number;
// installer ids used twice; URLs of another scheme than http and https; and
// installers without the sha256 that "require_sha256 = true" asks for.
// Empty when the configuration is sound.
std::vector<std::string> CheckConfiguration(const std::string& text, const std::string& name);

} // namespace Zentak
