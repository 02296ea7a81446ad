#include "external/proxy.h"

#include <cstdio>

#include <boost/algorithm/string/case_conv.hpp>
#include <glog/logging.h>

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

} // namespace

std::string RedactedProxyUrl(const std::string& proxyUrl)
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

namespace {

// Percent-encodes everything but the unreserved characters, so that a user
// name or password holding "@", ":" or "/" stays one part of the URL; the
// transfer library decodes them again.
std::string PercentEncoded(const std::string& text)
{
    std::string encoded;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            encoded += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            encoded += escape;
        }
    }
    return encoded;
}

} // namespace

ProxyInfo ParseProxyUrl(const std::string& proxyUrl)
{
    const size_t schemeEnd = proxyUrl.find("://");
    if (schemeEnd == std::string::npos) {
        LOG(ERROR) << "Proxy entry without a scheme, connecting directly: " << RedactedProxyUrl(proxyUrl);
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
        LOG(ERROR) << "Unsupported proxy type, connecting directly: " << RedactedProxyUrl(proxyUrl);
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
            LOG(ERROR) << "Malformed proxy address, connecting directly: " << RedactedProxyUrl(proxyUrl);
            return {};
        }
        if (bracket + 1 < authority.size()) {
            if (authority[bracket + 1] != ':') {
                LOG(ERROR) << "Malformed proxy address, connecting directly: " << RedactedProxyUrl(proxyUrl);
                return {};
            }
            portColon = bracket + 1;
        }
    } else {
        portColon = authority.find(':', hostStart);
    }
    const std::string hostPart = authority.substr(0, portColon);
    if (hostPart.size() <= hostStart) {
        LOG(ERROR) << "Proxy entry without a host, connecting directly: " << RedactedProxyUrl(proxyUrl);
        return {};
    }

    ProxyInfo info;
    info.kind = match->kind;
    info.host = scheme + "://" + hostPart;
    info.port = match->defaultPort;
    if (portColon != std::string::npos) {
        info.port = ParsePort(authority.substr(portColon + 1));
        if (info.port < 0) {
            LOG(ERROR) << "Invalid proxy port, connecting directly: " << RedactedProxyUrl(proxyUrl);
            return {};
        }
    }
    return info;
}

ProxyInfo ProxyFromParts(const std::string& scheme, const std::string& host, int port,
                         const std::string& user, const std::string& password)
{
    if (host.empty()) {
        LOG(ERROR) << "A " << scheme << " proxy without a host, connecting directly";
        return {};
    }
    std::string url = scheme + "://";
    if (!user.empty()) {
        url += PercentEncoded(user);
        if (!password.empty()) {
            url += ":" + PercentEncoded(password);
        }
        url += "@";
    }
    // An IPv6 address needs its brackets, or its colons read as a port.
    const bool bareIpv6 = host.find(':') != std::string::npos && host.front() != '[';
    url += bareIpv6 ? "[" + host + "]" : host;
    if (port != 0) {
        url += ":" + std::to_string(port);
    }
    return ParseProxyUrl(url);
}

} // namespace Zentak::Networking
