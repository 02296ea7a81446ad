#include "utils/hardware_id.h"
#include "utils/hardware_id_linux.h"

#include <fstream>
#include <sstream>

#include <glog/logging.h>

#include "utils/string_utils.h"

namespace Zentak::Util {
namespace {

// Empty when the file cannot be read (product_serial is root-only).
std::string ReadTrimmedFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return {};
    }
    std::ostringstream content;
    content << stream.rdbuf();
    std::string text = content.str();
    Trim(text);
    return text;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string DefaultRouteInterface(const std::string& routeTable)
{
    std::istringstream lines(routeTable);
    std::string line;
    std::getline(lines, line); // column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name;
        std::string destination;
        if (!(fields >> name >> destination)) {
            continue;
        }
        // The name ends up in a sysfs path; the kernel never reports such
        // names, but a path must not be built from them if it ever did.
        if (destination == "00000000" && name != "." && name != ".." &&
            name.find('/') == std::string::npos) {
            return name;
        }
    }
    return {};
}

std::string NormaliseMacAddress(const std::string& text)
{
    const std::string trimmed(Trim(std::string_view(text)));
    if (trimmed.size() != 17) {
        return {};
    }
    unsigned char bytes[6];
    for (int i = 0; i < 6; ++i) {
        const int high = HexValue(trimmed[i * 3]);
        const int low = HexValue(trimmed[i * 3 + 1]);
        if (high < 0 || low < 0 || (i < 5 && trimmed[i * 3 + 2] != ':')) {
            return {};
        }
        bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return FormatMacAddress(bytes);
}

std::string ReadSerialNumber()
{
    std::string serial = ReadTrimmedFile("/sys/class/dmi/id/product_serial");
    if (serial.empty()) {
        serial = ReadTrimmedFile("/etc/machine-id");
    }
    if (serial.empty()) {
        LOG(INFO) << "No serial number in \"/sys/class/dmi/id/product_serial\" or \"/etc/machine-id\"";
    }
    return serial;
}

std::string ReadPrimaryMacAddress()
{
    std::ifstream routes("/proc/net/route");
    if (!routes) {
        LOG(INFO) << "Unable to read \"/proc/net/route\"";
        return {};
    }
    std::ostringstream table;
    table << routes.rdbuf();
    const std::string interface = DefaultRouteInterface(table.str());
    if (interface.empty()) {
        return {};
    }
    const std::string path = "/sys/class/net/" + interface + "/address";
    std::ifstream address(path);
    if (!address) {
        LOG(INFO) << "Unable to read \"" << path << "\"";
        return {};
    }
    std::string text;
    std::getline(address, text);
    return NormaliseMacAddress(text);
}

} // namespace Zentak::Util
