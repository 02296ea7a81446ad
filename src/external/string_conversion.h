#pragma once

#include <string>

namespace Zentak::Core {

// UTF-8 and wide strings (UTF-32: wchar_t holds a whole code point on the
// platforms we build for). Pure functions, safe from any thread, never throw
// on malformed input: each maximal ill-formed UTF-8 subsequence, each
// surrogate and each value beyond U+10FFFF becomes U+FFFD.
std::wstring WstringFromUtf8(const std::string& utf8);
std::string Utf8FromWstring(const std::wstring& wide);

} // namespace Zentak::Core
