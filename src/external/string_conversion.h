#pragma once

#include <string>

namespace Zentak::Core {

std::wstring WstringFromUtf8(const std::string& utf8);
std::string Utf8FromWstring(const std::wstring& wide);

} // namespace Zentak::Core
