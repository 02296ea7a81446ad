#pragma once

#include <string>

namespace Zentak::Test {

// The SHA-256 of `data` in lowercase hex, computed with OpenSSL's one-shot
// digest rather than with the code under test.
std::string Sha256Hex(const std::string& data);

} // namespace Zentak::Test
