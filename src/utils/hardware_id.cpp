#include "utils/hardware_id.h"

#include <cstdio>

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace Zentak::Util {
namespace {

// Fixed forever: changing it changes every machine's id.
constexpr unsigned char kBaseNamespace[16] = {0x5c, 0x1f, 0x7a, 0x20, 0x3b, 0x8e, 0x4d, 0x6a,
                                              0x9e, 0x41, 0x7b, 0x2c, 0x0d, 0x9f, 0x6a, 0x13};

boost::uuids::uuid NameUuid(const boost::uuids::uuid& space, const std::string& name)
{
    // The byte overload hashes the UTF-8 bytes as they are, whatever the
    // character type overloads would do with them.
    return boost::uuids::name_generator_sha1(space)(name.data(), name.size());
}

} // namespace

std::string HashHardwareIds(const std::string& serialNumber, const std::string& macAddress)
{
    boost::uuids::uuid base;
    std::copy(std::begin(kBaseNamespace), std::end(kBaseNamespace), base.begin());
    const boost::uuids::uuid system = NameUuid(base, "macOS");
    const boost::uuids::uuid serial = NameUuid(system, serialNumber);
    return boost::uuids::to_string(NameUuid(serial, macAddress));
}

std::string GetHashedHuid()
{
    return HashHardwareIds(ReadSerialNumber(), ReadPrimaryMacAddress());
}

std::string FormatMacAddress(const unsigned char (&bytes)[6])
{
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5]);
    return text;
}

} // namespace Zentak::Util
