// The system proxy on macOS, from the network settings the user sees in the
// system settings: CFNetwork applies the exception list and the "exclude
// simple host names" switch, and proxy auto-configuration is run here.

#include "external/proxy.h"

#include <CFNetwork/CFNetwork.h>
#include <CoreFoundation/CoreFoundation.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <glog/logging.h>

namespace Zentak::Networking {
namespace {

// A script server that never answers must not hold a download back for
// long: after this the connection goes direct.
constexpr CFTimeInterval kAutoConfigurationTimeout = 15.0;

// Only our own source is served while we wait, whatever else the calling
// thread has scheduled on its run loop.
const CFStringRef kAutoConfigurationMode = CFSTR("com.zentak.proxy-auto-configuration");

// Owns one Core Foundation reference.
template <typename T>
class CFHolder {
public:
    explicit CFHolder(T ref = nullptr) : m_ref(ref) {}
    ~CFHolder()
    {
        if (m_ref) {
            CFRelease(m_ref);
        }
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
    T get() const { return m_ref; }
    explicit operator bool() const { return m_ref != nullptr; }

private:
    T m_ref;
};

std::string ToString(CFStringRef text)
{
    if (!text) {
        return {};
    }
    const CFIndex length = CFStringGetLength(text);
    CFIndex size = 0;
    CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0,
                     &size);
    std::string result(static_cast<size_t>(size), '\0');
    if (size > 0) {
        CFStringGetBytes(text, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<UInt8*>(&result[0]), size, nullptr);
    }
    return result;
}

// The string under `key`, empty when absent or not a string.
std::string StringValue(CFDictionaryRef dictionary, CFStringRef key)
{
    const CFTypeRef value = CFDictionaryGetValue(dictionary, key);
    if (!value || CFGetTypeID(value) != CFStringGetTypeID()) {
        return {};
    }
    return ToString(static_cast<CFStringRef>(value));
}

int PortValue(CFDictionaryRef dictionary)
{
    const CFTypeRef value = CFDictionaryGetValue(dictionary, kCFProxyPortNumberKey);
    int port = 0;
    if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &port);
    }
    return port;
}

// What a finished auto-configuration run left for the waiting thread.
struct AutoConfigurationResult {
    bool done = false;
    CFArrayRef proxies = nullptr; // retained; null on failure
    std::string error;
};

void OnAutoConfigurationResult(void* client, CFArrayRef proxies, CFErrorRef error)
{
    auto* result = static_cast<AutoConfigurationResult*>(client);
    result->done = true;
    if (proxies) {
        result->proxies = static_cast<CFArrayRef>(CFRetain(proxies));
    } else if (error) {
        CFHolder<CFStringRef> description(CFErrorCopyDescription(error));
        result->error = ToString(description.get());
    }
}

// CFNetwork has been seen to deliver the result of one auto-configuration
// run on the run loop of another thread that runs one at the same time;
// one run at a time keeps each result with its caller.
std::mutex& AutoConfigurationMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Runs the auto-configuration script named by `entry` (by URL or as text)
// for `target` on the calling thread's run loop, waiting at most
// kAutoConfigurationTimeout. The proxies it chose, or null (logged).
CFArrayRef RunAutoConfiguration(CFDictionaryRef entry, CFStringRef type, CFURLRef target,
                                const std::string& url)
{
    std::lock_guard<std::mutex> lock(AutoConfigurationMutex());
    AutoConfigurationResult result;
    CFStreamClientContext context = {0, &result, nullptr, nullptr, nullptr};
    CFRunLoopSourceRef source = nullptr;
    if (CFEqual(type, kCFProxyTypeAutoConfigurationURL)) {
        const CFTypeRef script = CFDictionaryGetValue(entry, kCFProxyAutoConfigurationURLKey);
        if (!script || CFGetTypeID(script) != CFURLGetTypeID()) {
            LOG(ERROR) << "Proxy auto-configuration without a script URL, connecting directly to "
                       << url;
            return nullptr;
        }
        source = CFNetworkExecuteProxyAutoConfigurationURL(
            static_cast<CFURLRef>(script), target, OnAutoConfigurationResult, &context);
    } else {
        const CFTypeRef script =
            CFDictionaryGetValue(entry, kCFProxyAutoConfigurationJavaScriptKey);
        if (!script || CFGetTypeID(script) != CFStringGetTypeID()) {
            LOG(ERROR) << "Proxy auto-configuration without a script, connecting directly to "
                       << url;
            return nullptr;
        }
        source = CFNetworkExecuteProxyAutoConfigurationScript(
            static_cast<CFStringRef>(script), target, OnAutoConfigurationResult, &context);
    }
    if (!source) {
        LOG(ERROR) << "Proxy auto-configuration could not start, connecting directly to " << url;
        return nullptr;
    }
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source, kAutoConfigurationMode);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(kAutoConfigurationTimeout);
    while (!result.done) {
        const std::chrono::duration<double> left = deadline - std::chrono::steady_clock::now();
        if (left.count() <= 0) {
            break;
        }
        // Returns after the source has been handled, or when the time is
        // up; an early return for any other reason just goes round again.
        CFRunLoopRunInMode(kAutoConfigurationMode, left.count(), true);
    }
    // Invalidating the source cancels a run that is still going, so its
    // result can no longer reach `result`, which is about to go.
    CFRunLoopRemoveSource(loop, source, kAutoConfigurationMode);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
    if (!result.done) {
        LOG(ERROR) << "Proxy auto-configuration took longer than " << kAutoConfigurationTimeout
                   << " s, connecting directly to " << url;
        return nullptr;
    }
    if (!result.proxies) {
        LOG(ERROR) << "Proxy auto-configuration failed (" << result.error
                   << "), connecting directly to " << url;
    }
    return result.proxies;
}

// The proxy of one concrete entry; `known` false for a kind we cannot use.
ProxyInfo ProxyOfEntry(CFDictionaryRef entry, CFStringRef type, bool& known)
{
    known = true;
    if (CFEqual(type, kCFProxyTypeNone)) {
        return {};
    }
    const char* scheme = nullptr;
    if (CFEqual(type, kCFProxyTypeHTTP) || CFEqual(type, kCFProxyTypeHTTPS)) {
        // The "secure web proxy" is the proxy for https URLs; it is spoken
        // to in plain HTTP (CONNECT), not over TLS.
        scheme = "http";
    } else if (CFEqual(type, kCFProxyTypeSOCKS)) {
        // Names are resolved by the proxy: behind one, only its side of the
        // network may know the download hosts.
        scheme = "socks5h";
    } else {
        known = false;
        return {};
    }
    return ProxyFromParts(scheme, StringValue(entry, kCFProxyHostNameKey), PortValue(entry),
                          StringValue(entry, kCFProxyUsernameKey),
                          StringValue(entry, kCFProxyPasswordKey));
}

// The first usable proxy of `proxies` in their order of preference;
// auto-configuration entries are run (but not nested) when `target` is given.
ProxyInfo FirstProxy(CFArrayRef proxies, CFURLRef target, const std::string& url)
{
    const CFIndex count = CFArrayGetCount(proxies);
    for (CFIndex i = 0; i < count; ++i) {
        const CFTypeRef value = CFArrayGetValueAtIndex(proxies, i);
        if (!value || CFGetTypeID(value) != CFDictionaryGetTypeID()) {
            continue;
        }
        const auto entry = static_cast<CFDictionaryRef>(value);
        const CFTypeRef typeValue = CFDictionaryGetValue(entry, kCFProxyTypeKey);
        if (!typeValue || CFGetTypeID(typeValue) != CFStringGetTypeID()) {
            continue;
        }
        const auto type = static_cast<CFStringRef>(typeValue);
        if (CFEqual(type, kCFProxyTypeAutoConfigurationURL) ||
            CFEqual(type, kCFProxyTypeAutoConfigurationJavaScript)) {
            if (!target) {
                continue;
            }
            CFHolder<CFArrayRef> chosen(RunAutoConfiguration(entry, type, target, url));
            if (!chosen) {
                return {};
            }
            return FirstProxy(chosen.get(), nullptr, url);
        }
        bool known = false;
        const ProxyInfo info = ProxyOfEntry(entry, type, known);
        if (known) {
            return info;
        }
        LOG(WARNING) << "Skipping a proxy of type " << ToString(type) << " for " << url;
    }
    return {};
}

} // namespace

struct NativeProxyProvider::Impl {};

NativeProxyProvider::NativeProxyProvider() : m_impl(new Impl) {}

NativeProxyProvider::~NativeProxyProvider()
{
    delete m_impl;
}

ProxyInfo NativeProxyProvider::getProxy(const std::string& url) const
{
    CFHolder<CFURLRef> target(CFURLCreateWithBytes(kCFAllocatorDefault,
                                                   reinterpret_cast<const UInt8*>(url.data()),
                                                   static_cast<CFIndex>(url.size()),
                                                   kCFStringEncodingUTF8, nullptr));
    if (!target) {
        LOG(ERROR) << "Not a URL, connecting directly: " << url;
        return {};
    }
    CFHolder<CFDictionaryRef> settings(CFNetworkCopySystemProxySettings());
    if (!settings) {
        LOG(ERROR) << "No system proxy settings, connecting directly to " << url;
        return {};
    }
    CFHolder<CFArrayRef> proxies(CFNetworkCopyProxiesForURL(target.get(), settings.get()));
    if (!proxies) {
        LOG(ERROR) << "No proxy information for " << url << ", connecting directly";
        return {};
    }
    const ProxyInfo info = FirstProxy(proxies.get(), target.get(), url);
    if (info.kind != 0) {
        LOG(INFO) << "Proxy for " << url << ": " << RedactedProxyUrl(info.host) << " port "
                  << info.port;
    }
    return info;
}

} // namespace Zentak::Networking
