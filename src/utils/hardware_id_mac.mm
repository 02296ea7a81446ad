#include "utils/hardware_id.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/network/IOEthernetController.h>
#include <IOKit/network/IOEthernetInterface.h>
#include <IOKit/network/IONetworkInterface.h>

namespace Zentak::Util {
namespace {

// MACH_PORT_NULL asks IOKit for its default main port on every SDK version,
// without the renamed constant of newer ones.
constexpr mach_port_t kDefaultPort = MACH_PORT_NULL;

std::string StringFromCFString(CFStringRef text)
{
    if (const char* direct = CFStringGetCStringPtr(text, kCFStringEncodingUTF8)) {
        return direct;
    }
    // The direct pointer is an optimisation that may be unavailable for any
    // string; copying keeps the serial number from silently reading as empty.
    const CFIndex length = CFStringGetLength(text);
    const CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<size_t>(size), '\0');
    if (!CFStringGetCString(text, &buffer[0], size, kCFStringEncodingUTF8)) {
        return {};
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

} // namespace

std::string ReadSerialNumber()
{
    std::string serial;
    // IOServiceGetMatchingService consumes the matching dictionary.
    io_service_t platform =
        IOServiceGetMatchingService(kDefaultPort, IOServiceMatching("IOPlatformExpertDevice"));
    if (!platform) {
        return serial;
    }
    CFTypeRef property = IORegistryEntryCreateCFProperty(
        platform, CFSTR(kIOPlatformSerialNumberKey), kCFAllocatorDefault, 0);
    if (property) {
        if (CFGetTypeID(property) == CFStringGetTypeID()) {
            serial = StringFromCFString(static_cast<CFStringRef>(property));
        }
        CFRelease(property);
    }
    IOObjectRelease(platform);
    return serial;
}

std::string ReadPrimaryMacAddress()
{
    std::string result;
    CFMutableDictionaryRef matching = IOServiceMatching(kIOEthernetInterfaceClass);
    if (!matching) {
        return result;
    }
    CFMutableDictionaryRef propertyMatch = CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    if (!propertyMatch) {
        CFRelease(matching);
        return result;
    }
    CFDictionarySetValue(propertyMatch, CFSTR(kIOPrimaryInterface), kCFBooleanTrue);
    CFDictionarySetValue(matching, CFSTR(kIOPropertyMatchKey), propertyMatch);
    CFRelease(propertyMatch);

    io_iterator_t interfaces = 0;
    // Consumes `matching` whether it succeeds or not.
    if (IOServiceGetMatchingServices(kDefaultPort, matching, &interfaces) != KERN_SUCCESS) {
        return result;
    }
    io_object_t interface = 0;
    while (result.empty() && (interface = IOIteratorNext(interfaces)) != 0) {
        io_object_t controller = 0;
        if (IORegistryEntryGetParentEntry(interface, kIOServicePlane, &controller) ==
            KERN_SUCCESS) {
            CFTypeRef address = IORegistryEntryCreateCFProperty(
                controller, CFSTR(kIOMACAddress), kCFAllocatorDefault, 0);
            if (address) {
                if (CFGetTypeID(address) == CFDataGetTypeID() &&
                    CFDataGetLength(static_cast<CFDataRef>(address)) >= 6) {
                    unsigned char bytes[6] = {};
                    CFDataGetBytes(static_cast<CFDataRef>(address), CFRangeMake(0, 6), bytes);
                    result = FormatMacAddress(bytes);
                }
                CFRelease(address);
            }
            IOObjectRelease(controller);
        }
        IOObjectRelease(interface);
    }
    IOObjectRelease(interfaces);
    return result;
}

} // namespace Zentak::Util
