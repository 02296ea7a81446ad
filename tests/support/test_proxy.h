#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_socket.h"

// A minimal forward HTTP proxy on 127.0.0.1 for tests: it takes requests with
// an absolute http:// URI (no CONNECT, so no HTTPS), forwards each to its
// target on 127.0.0.1 with "Connection: close", relays the response back and
// records the URI. Targets elsewhere get status 502.
//
// Given credentials ("user:password") it is an authenticating proxy: a
// request without "Proxy-Authorization: Basic <base64 of the credentials>"
// gets status 407 with "Proxy-Authenticate: Basic" and is not forwarded; the
// header is not passed on to the target.
//
//     Zentak::Test::TestProxy proxy;
//     Zentak::Test::ScopedEnvironment viaProxy("http_proxy", proxy.Url());
//     ... fetch server.Url("/file") ...
//     EXPECT_EQ(proxy.RequestedUrls(), std::vector<std::string>{server.Url("/file")});
namespace Zentak::Test {

class TestProxy {
public:
    explicit TestProxy(std::optional<std::string> credentials = std::nullopt);
    // Closes the listening socket and every open connection, waiting for their
    // threads.
    ~TestProxy();

    TestProxy(const TestProxy&) = delete;
    TestProxy& operator=(const TestProxy&) = delete;

    int Port() const { return m_listener.Port(); }
    // "http://127.0.0.1:<port>"
    std::string Url() const;
    // The absolute URIs of the requests received so far, in arrival order.
    std::vector<std::string> RequestedUrls() const;
    // How many requests an authenticating proxy refused with 407, and how
    // many it forwarded.
    int Refused() const;
    int Forwarded() const;

private:
    void Accept();
    void Serve(int client);

    LoopbackSocket m_listener{LoopbackSocket::State::Listening};
    // Written to end every wait of the proxy's threads at once.
    int m_stopPipe[2] = {-1, -1};
    std::thread m_acceptor;

    // "Basic <base64>" that an authenticating proxy wants; empty otherwise.
    std::string m_authorization;

    mutable std::mutex m_mutex;
    std::vector<std::thread> m_connections;
    std::vector<std::string> m_urls;
    int m_refused = 0;
    int m_forwarded = 0;
};

} // namespace Zentak::Test
