#include "utils/hardware_id.h"

#include <regex>
#include <string>

#include <gtest/gtest.h>

#ifndef __APPLE__
#include "utils/hardware_id_linux.h"
#endif

namespace Zentak::Util {
namespace {

bool IsVersion5Uuid(const std::string& text)
{
    static const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    return std::regex_match(text, form);
}

TEST(HardwareIdTest, HashMatchesIndependentUuid5Chain)
{
    // Expected values computed with Python's uuid module, independently of
    // Boost:
    //   a = uuid.uuid5(uuid.UUID('5c1f7a20-3b8e-4d6a-9e41-7b2c0d9f6a13'), 'macOS')
    //   b = uuid.uuid5(a, serial); print(uuid.uuid5(b, mac))
    // (Python hashes a str name as its UTF-8 bytes.)
    struct Case {
        const char* serial;
        const char* mac;
        const char* expected;
    };
    const Case cases[] = {
        {"SERIAL", "0a:1b:2c:3d:4e:5f", "dfd5631a-5d20-5887-bb77-f879eee62bf7"},
        {"", "", "8fce230e-ede0-586f-ab94-2c7b98c3ff4e"},
        {"C02XG0FDJG5J", "00:1c:42:00:00:08", "66649946-d345-56e4-b23c-f4033940c2a3"},
        {"C02XG0FDJG5J", "", "116fd645-d13a-5be4-bda7-0217313a60fa"},
        {"", "00:1c:42:00:00:08", "72c9f2b5-37d0-52a1-999c-866094542413"},
        // "Sérïal-ü": the name bytes must be the UTF-8 bytes, one per char.
        {"S\xc3\xa9r\xc3\xaf" "al-\xc3\xbc", "0a:1b:2c:3d:4e:5f", "434aacf7-0635-5625-b5e4-b832782f972c"},
        {"3d1219c7c4c5404aaa1f6d2a48adfda4", "02:fc:00:00:00:01",
         "143c38a4-89d3-52f9-ad6e-d882591b9126"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.serial) + " / " + c.mac);
        const std::string id = HashHardwareIds(c.serial, c.mac);
        EXPECT_EQ(id, c.expected);
        EXPECT_TRUE(IsVersion5Uuid(id)) << id;
    }
}

TEST(HardwareIdTest, MachineIdIsWellFormedAndStable)
{
    const std::string first = GetHashedHuid();
    EXPECT_EQ(first.size(), 36u);
    EXPECT_TRUE(IsVersion5Uuid(first)) << first;
    EXPECT_EQ(GetHashedHuid(), first);
    EXPECT_EQ(first, HashHardwareIds(ReadSerialNumber(), ReadPrimaryMacAddress()));
}

TEST(HardwareIdTest, FormatsMacAddressLowercaseZeroPadded)
{
    const unsigned char leadingZero[6] = {0x00, 0x1c, 0x42, 0x0a, 0xff, 0x08};
    EXPECT_EQ(FormatMacAddress(leadingZero), "00:1c:42:0a:ff:08");
    const unsigned char allOnes[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(FormatMacAddress(allOnes), "ff:ff:ff:ff:ff:ff");
}

TEST(HardwareIdTest, PrimaryMacAddressIsEmptyOrCanonical)
{
    const std::string mac = ReadPrimaryMacAddress();
    if (!mac.empty()) {
        EXPECT_TRUE(std::regex_match(mac, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << mac;
    }
}

#ifndef __APPLE__
TEST(HardwareIdLinuxTest, FindsInterfaceOfDefaultRoute)
{
    const std::string header =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        std::string table;
        std::string expected;
    };
    const Case cases[] = {
        {header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                  "wlan0\t00000000\t010200C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                  "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "wlan0"},
        {header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", ""},
        {header, ""},
        {"", ""},
        // A name that would leave /sys/class/net is never used.
        {header + "../x\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        EXPECT_EQ(DefaultRouteInterface(c.table), c.expected);
    }
}

TEST(HardwareIdLinuxTest, NormalisesSysfsAddress)
{
    const std::pair<const char*, const char*> cases[] = {
        {"02:FC:00:00:00:01\n", "02:fc:00:00:00:01"},
        {"0a:1b:2c:3d:4e:5f", "0a:1b:2c:3d:4e:5f"},
        {"", ""},
        {"0a:1b:2c:3d:4e", ""},
        {"0a-1b-2c-3d-4e-5f", ""},
        {"0a:1b:2c:3d:4e:5g", ""},
        {"00:00:00:00:00:00:00:00", ""},
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(NormaliseMacAddress(input), expected);
    }
}
#endif

} // namespace
} // namespace Zentak::Util
