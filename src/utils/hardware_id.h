#pragma once

#include <string>

namespace Zentak::Util {

// A stable anonymous id of this machine: a chain of three name-based SHA-1
// UUIDs over the system name, the serial number and the primary MAC address.
std::string GetHashedHuid();

// The hashing alone, for given hardware values.
std::string HashHardwareIds(const std::string& serialNumber, const std::string& macAddress);

// Platform sources (empty when unavailable).
std::string ReadSerialNumber();
std::string ReadPrimaryMacAddress();

} // namespace Zentak::Util
