#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/loopback_socket.h"
#include "support/test_environment.h"
#include "support/test_server.h"

namespace Zentak::Test {

// The service's path below the server's root, as the build-time URL has it.
inline constexpr char kServiceRoot[] = "/api/v1/uid";

// A reply of the service: JSON with its content type.
Reply JsonReply(const nlohmann::json& body, int status = 200);
// Sends `body` in pieces of `piece` bytes with chunked encoding, pausing
// between pieces so that they reach the client as separate reads.
Reply PiecewiseReply(std::string body, std::size_t piece);

// Each test gets a web user id service over HTTPS on 127.0.0.1 whose
// certificate authority is the only one trusted (CURL_CA_BUNDLE), a HOME of
// its own (so the preference plists land in a temporary folder) and a log
// folder that collects the reported exceptions.
class SitemarkServiceTest : public ::testing::Test {
protected:
    SitemarkServiceTest();
    ~SitemarkServiceTest() override;

    static void SetUpTestSuite();

    // Answers GETs of kServiceRoot + `path` (decoded, without the query)
    // with the JSON `body`, noting the raw target of each request.
    void ExpectJson(const std::string& path, const nlohmann::json& body, Times times = Times::Exactly(1));
    // The raw targets (path and query as sent) noted by ExpectJson replies,
    // in arrival order.
    std::vector<std::string> Targets() const;

    // The descriptions of exceptions reported so far, in order.
    std::vector<std::string> ReportedExceptions() const;

    std::filesystem::path PlistPath(const std::string& name) const;

    TemporaryDirectory m_home;
    TestServer m_server{TestServer::Scheme::Https};

private:
    ScopedEnvironment m_homeVariable;
    ScopedEnvironment m_caBundle;
    ScopedEnvironment m_serviceUrl;
    std::string m_previousLogDir;
    std::shared_ptr<std::mutex> m_targetsMutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<std::string>> m_targets = std::make_shared<std::vector<std::string>>();
};

// A port on 127.0.0.1 that takes connections (the kernel completes the TCP
// handshake) and never answers or accepts them.
class SilentPort {
public:
    std::string Url(const std::string& path) const;

private:
    LoopbackSocket m_socket{LoopbackSocket::State::Listening};
};

// A port on 127.0.0.1 that accepts every connection and resets it at once.
class DroppingPort {
public:
    DroppingPort();
    ~DroppingPort();
    DroppingPort(const DroppingPort&) = delete;
    DroppingPort& operator=(const DroppingPort&) = delete;

    std::string Url(const std::string& path) const;
    int Dropped() const { return m_dropped.load(); }

private:
    LoopbackSocket m_socket{LoopbackSocket::State::Listening};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_dropped{0};
    std::thread m_thread;
};

} // namespace Zentak::Test
