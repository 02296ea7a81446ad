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

// Six address bytes as "0a:1b:2c:3d:4e:5f": lowercase, zero-padded.
std::string FormatMacAddress(const unsigned char (&bytes)[6]);

} // namespace Zentak::Util
