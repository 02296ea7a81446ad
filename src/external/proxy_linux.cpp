#include "external/proxy.h"

#include <mutex>

#include <glog/logging.h>
#include <proxy.h>

namespace Zentak::Networking {

struct NativeProxyProvider::Impl {
    std::mutex guard;
    pxProxyFactory* factory = nullptr; // guarded; created by the first query
};

NativeProxyProvider::NativeProxyProvider() : m_impl(new Impl) {}

NativeProxyProvider::~NativeProxyProvider()
{
    if (m_impl->factory) {
        px_proxy_factory_free(m_impl->factory);
    }
    delete m_impl;
}

ProxyInfo NativeProxyProvider::getProxy(const std::string& url) const
{
    std::string first;
    {
        // libproxy's factory is not safe for concurrent queries.
        std::lock_guard<std::mutex> lock(m_impl->guard);
        if (!m_impl->factory) {
            m_impl->factory = px_proxy_factory_new();
            if (!m_impl->factory) {
                LOG(ERROR) << "px_proxy_factory_new failed, connecting directly to " << url;
                return {};
            }
        }
        char** proxies = px_proxy_factory_get_proxies(m_impl->factory, url.c_str());
        if (!proxies || !proxies[0]) {
            LOG(ERROR) << "No proxy information for " << url << ", connecting directly";
        } else {
            first = proxies[0];
        }
        if (proxies) {
            px_proxy_factory_free_proxies(proxies);
        }
    }
    if (first.empty()) {
        return {};
    }
    ProxyInfo info = ParseProxyUrl(first);
    if (info.kind != 0) {
        LOG(INFO) << "Proxy for " << url << ": " << RedactedProxyUrl(info.host) << " port " << info.port;
    }
    return info;
}

} // namespace Zentak::Networking
