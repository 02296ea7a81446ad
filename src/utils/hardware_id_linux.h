#pragma once

#include <string>

// Pieces of the Linux hardware sources, exposed for tests.
namespace Zentak::Util {

// The interface of the first default route (destination 00000000) in a
// /proc/net/route table; empty when there is none.
std::string DefaultRouteInterface(const std::string& routeTable);

// A sysfs address text ("02:FC:00:00:00:01\n") in our form; empty unless it
// holds exactly six colon-separated hexadecimal pairs.
std::string NormaliseMacAddress(const std::string& text);

} // namespace Zentak::Util
