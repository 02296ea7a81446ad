#pragma once

#include <string>

namespace Zentak::Networking {

// The proxy that applies to one URL. kind 0: none (a direct connection).
struct ProxyInfo {
    int kind = 0;
    std::string host; // a URL the transfer library accepts, with credentials if any
    int port = 0;
};

// The system's proxy settings. Safe from any thread.
class NativeProxyProvider {
public:
    NativeProxyProvider();
    ~NativeProxyProvider();
    NativeProxyProvider(const NativeProxyProvider&) = delete;
    NativeProxyProvider& operator=(const NativeProxyProvider&) = delete;

    ProxyInfo getProxy(const std::string& url) const;

private:
    struct Impl;
    Impl* m_impl;
};

} // namespace Zentak::Networking
