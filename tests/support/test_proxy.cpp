#include "support/test_proxy.h"
#include "support/posix_compat.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

namespace Zentak::Test {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;
// No connection is served for longer than this, whatever the peers do.
constexpr std::chrono::seconds kLongestConnection(120);

// Waits until `descriptor` is readable or the stop pipe is written. False on
// stop, on a poll failure or after the deadline.
bool WaitReadable(int descriptor, int stop, std::chrono::steady_clock::time_point deadline)
{
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{descriptor, POLLIN, 0}, {stop, POLLIN, 0}};
        const int ready = poll(fds, 2, 100);
        if (ready < 0) {
            return false;
        }
        if (fds[1].revents != 0) {
            return false;
        }
        if (fds[0].revents != 0) {
            return true;
        }
    }
    return false;
}

bool SendAll(int descriptor, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = Test::SendNoSignal(descriptor, data, size);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool SendAll(int descriptor, const std::string& text)
{
    return SendAll(descriptor, text.data(), text.size());
}

bool StartsWithNoCase(const std::string& line, const char* prefix)
{
    return strncasecmp(line.c_str(), prefix, std::strlen(prefix)) == 0;
}

int ConnectLoopback(int port)
{
    const int descriptor = Test::TcpSocket();
    if (descriptor < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

struct Target {
    int port = 0;
    std::string path;
};

// "http://127.0.0.1:8080/a?b" -> port 8080, path "/a?b". Only loopback hosts.
bool ParseTarget(const std::string& uri, Target& target)
{
    const std::string scheme = "http://";
    if (uri.compare(0, scheme.size(), scheme) != 0) {
        return false;
    }
    const auto slash = uri.find('/', scheme.size());
    const std::string authority = uri.substr(scheme.size(), slash - scheme.size());
    target.path = slash == std::string::npos ? "/" : uri.substr(slash);
    const auto colon = authority.rfind(':');
    const std::string host = authority.substr(0, colon);
    if (host != "127.0.0.1" && host != "localhost") {
        return false;
    }
    target.port = colon == std::string::npos ? 80 : std::atoi(authority.c_str() + colon + 1);
    return target.port > 0 && target.port < 65536;
}

} // namespace

TestProxy::TestProxy(std::optional<std::string> credentials)
{
    if (credentials) {
        std::string encoded(4 * ((credentials->size() + 2) / 3) + 1, '\0');
        const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                           reinterpret_cast<const unsigned char*>(credentials->data()),
                                           static_cast<int>(credentials->size()));
        encoded.resize(static_cast<std::size_t>(length));
        m_authorization = "Basic " + encoded;
    }
    if (Test::MakePipe(m_stopPipe) != 0) {
        throw std::runtime_error("test proxy: pipe failed");
    }
    m_acceptor = std::thread(&TestProxy::Accept, this);
}

TestProxy::~TestProxy()
{
    const char stop = 's';
    (void)!write(m_stopPipe[1], &stop, 1);
    m_acceptor.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
    }
    for (std::thread& connection : connections) {
        connection.join();
    }
    close(m_stopPipe[0]);
    close(m_stopPipe[1]);
}

std::string TestProxy::Url() const
{
    return "http://127.0.0.1:" + std::to_string(Port());
}

std::vector<std::string> TestProxy::RequestedUrls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_urls;
}

int TestProxy::Refused() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refused;
}

int TestProxy::Forwarded() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_forwarded;
}

void TestProxy::Accept()
{
    const auto deadline = std::chrono::steady_clock::time_point::max();
    while (WaitReadable(m_listener.Descriptor(), m_stopPipe[0], deadline)) {
        const int client = Test::AcceptConnection(m_listener.Descriptor());
        if (client < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.emplace_back(&TestProxy::Serve, this, client);
    }
}

void TestProxy::Serve(int client)
{
    const auto deadline = std::chrono::steady_clock::now() + kLongestConnection;
    std::string head;
    std::size_t end = std::string::npos;
    char buffer[16 * 1024];
    while ((end = head.find("\r\n\r\n")) == std::string::npos && head.size() < kMaxHead) {
        if (!WaitReadable(client, m_stopPipe[0], deadline)) {
            close(client);
            return;
        }
        const ssize_t received = recv(client, buffer, sizeof(buffer), 0);
        if (received <= 0) {
            close(client);
            return;
        }
        head.append(buffer, static_cast<std::size_t>(received));
    }
    if (end == std::string::npos) {
        close(client);
        return;
    }
    const std::string rest = head.substr(end + 4);
    head.resize(end + 2);

    const auto lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto lastSpace = requestLine.rfind(' ');
    const std::string method = requestLine.substr(0, firstSpace);
    const std::string uri = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_urls.push_back(uri);
    }
    if (!m_authorization.empty()) {
        std::string given;
        std::size_t at = lineEnd + 2;
        while (at < head.size()) {
            const auto next = head.find("\r\n", at);
            const std::string line = head.substr(at, next - at);
            at = next + 2;
            if (StartsWithNoCase(line, "Proxy-Authorization:")) {
                given = line.substr(std::strlen("Proxy-Authorization:"));
                given.erase(0, given.find_first_not_of(' '));
            }
        }
        if (given != m_authorization) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_refused;
            }
            SendAll(client, "HTTP/1.1 407 Proxy Authentication Required\r\n"
                            "Proxy-Authenticate: Basic realm=\"test proxy\"\r\n"
                            "Content-Length: 0\r\nConnection: close\r\n\r\n");
            shutdown(client, SHUT_RDWR);
            close(client);
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_forwarded;
    }
    Target target;
    const int upstream = ParseTarget(uri, target) ? ConnectLoopback(target.port) : -1;
    if (upstream < 0) {
        SendAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        close(client);
        return;
    }

    std::string forwarded = method + " " + target.path + " HTTP/1.1\r\n";
    std::size_t position = lineEnd + 2;
    while (position < head.size()) {
        const auto next = head.find("\r\n", position);
        const std::string line = head.substr(position, next - position);
        position = next + 2;
        if (!StartsWithNoCase(line, "Proxy-Connection:") && !StartsWithNoCase(line, "Connection:") &&
            !StartsWithNoCase(line, "Keep-Alive:") &&
            !StartsWithNoCase(line, "Proxy-Authorization:")) {
            forwarded += line + "\r\n";
        }
    }
    forwarded += "Connection: close\r\n\r\n" + rest;

    if (SendAll(upstream, forwarded)) {
        // Relay both ways until the target closes its side.
        bool clientOpen = true;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fds[3] = {{upstream, POLLIN, 0}, {clientOpen ? client : -1, POLLIN, 0},
                             {m_stopPipe[0], POLLIN, 0}};
            if (poll(fds, 3, 100) < 0 || fds[2].revents != 0) {
                break;
            }
            if (fds[0].revents != 0) {
                const ssize_t received = recv(upstream, buffer, sizeof(buffer), 0);
                if (received <= 0 || !SendAll(client, buffer, static_cast<std::size_t>(received))) {
                    break;
                }
            }
            if (clientOpen && fds[1].revents != 0) {
                const ssize_t received = recv(client, buffer, sizeof(buffer), 0);
                if (received <= 0) {
                    clientOpen = false;
                } else if (!SendAll(upstream, buffer, static_cast<std::size_t>(received))) {
                    break;
                }
            }
        }
    }
    close(upstream);
    shutdown(client, SHUT_RDWR);
    close(client);
}

} // namespace Zentak::Test
