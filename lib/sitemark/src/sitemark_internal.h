#pragma once

#include <string>

#include "external/proxy.h"
#include "sitemark/sitemark.h"

// Library-internal names shared by the service calls and the manager.

namespace Zentak::App {

// The name of the user plist: "User" in lowercase.
extern const char* const USER;
// The plist key of a stored id.
extern const char* const SITEMARK;

// Asked for the proxy of every service request. Lives from load to unload.
extern Networking::NativeProxyProvider g_proxyProvider;

// Reports a failure caught at the library's boundary: logged with what was
// being done and reported as a handled exception. Never throws.
void ReportFailure(const std::string& action, const std::exception& error) noexcept;

} // namespace Zentak::App
