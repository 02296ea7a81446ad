#include "external/proxy.h"

#include <mutex>

#include <boost/algorithm/string/case_conv.hpp>
#include <glog/logging.h>
#include <proxy.h>

namespace Zentak::Networking {
namespace {

struct SchemeKind {
    const char* scheme;
    int kind;
    int defaultPort;
};

// libproxy reports SOCKS proxies as "socks", "socks4", "socks4a", "socks5"
// or "socks5h"; libcurl understands each of these schemes in a proxy URL.
constexpr SchemeKind kSchemes[] = {
    {"http", 1, 80},      {"https", 2, 443},   {"socks", 3, 1080},  {"socks4", 3, 1080},
    {"socks4a", 3, 1080}, {"socks5", 3, 1080}, {"socks5h", 3, 1080},
};

// Returns the port, or -1 when `text` is not a port number.
int ParsePort(const std::string& text)
{
    if (text.empty() || text.size() > 5) {
        return -1;
    }
    int port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? port : -1;
}

// The proxy URL as it may appear in a log: credentials hidden.
std::string Redacted(const std::string& proxyUrl)
{
    const size_t schemeEnd = proxyUrl.find("://");
    const size_t start = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const size_t end = proxyUrl.find_first_of("/?#", start);
    const size_t at = proxyUrl.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < start) {
        return proxyUrl;
    }
    return proxyUrl.substr(0, start) + "***@" + proxyUrl.substr(at + 1);
}

} // namespace

ProxyInfo ParseProxyUrl(const std::string& proxyUrl)
{
    const size_t schemeEnd = proxyUrl.find("://");
    if (schemeEnd == std::string::npos) {
        LOG(ERROR) << "Proxy entry without a scheme, connecting directly: " << Redacted(proxyUrl);
        return {};
    }
    const std::string scheme = boost::algorithm::to_lower_copy(proxyUrl.substr(0, schemeEnd));
    if (scheme == "direct") {
        return {};
    }
    const SchemeKind* match = nullptr;
    for (const SchemeKind& candidate : kSchemes) {
        if (scheme == candidate.scheme) {
            match = &candidate;
        }
    }
    if (match == nullptr) {
        LOG(ERROR) << "Unsupported proxy type, connecting directly: " << Redacted(proxyUrl);
        return {};
    }

    std::string authority = proxyUrl.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const size_t at = authority.rfind('@');
    const size_t hostStart = at == std::string::npos ? 0 : at + 1;
    size_t portColon = std::string::npos;
    if (hostStart < authority.size() && authority[hostStart] == '[') {
        const size_t bracket = authority.find(']', hostStart);
        if (bracket == std::string::npos) {
            LOG(ERROR) << "Malformed proxy address, connecting directly: " << Redacted(proxyUrl);
            return {};
        }
        if (bracket + 1 < authority.size()) {
            if (authority[bracket + 1] != ':') {
                LOG(ERROR) << "Malformed proxy address, connecting directly: " << Redacted(proxyUrl);
                return {};
            }
            portColon = bracket + 1;
        }
    } else {
        portColon = authority.find(':', hostStart);
    }
    const std::string hostPart = authority.substr(0, portColon);
    if (hostPart.size() <= hostStart) {
        LOG(ERROR) << "Proxy entry without a host, connecting directly: " << Redacted(proxyUrl);
        return {};
    }

    ProxyInfo info;
    info.kind = match->kind;
    info.host = scheme + "://" + hostPart;
    info.port = match->defaultPort;
    if (portColon != std::string::npos) {
        info.port = ParsePort(authority.substr(portColon + 1));
        if (info.port < 0) {
            LOG(ERROR) << "Invalid proxy port, connecting directly: " << Redacted(proxyUrl);
            return {};
        }
    }
    return info;
}

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
        LOG(INFO) << "Proxy for " << url << ": " << Redacted(info.host) << " port " << info.port;
    }
    return info;
}

} // namespace Zentak::Networking
