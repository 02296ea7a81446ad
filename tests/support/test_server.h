#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <httplib.h>

#include "support/test_certificates.h"

// A scripted HTTP(S) server on 127.0.0.1 for tests.
//
//     Zentak::Test::TestServer server;                      // or TestServer::Scheme::Https
//     server.Expect("GET", "/config.ini", Reply::Body("[product]\n"));
//     server.Expect("HEAD", "/big.tgz", Reply::Body(std::string(1000, 'x')), Times::Exactly(1));
//     server.Expect("GET", "/retry", Reply::Status(500), Times::Exactly(1));
//     server.Expect("GET", "/retry", Reply::Body("ok"));      // the second request gets this
//     ... run the code under test against server.Url("/config.ini") ...
//     EXPECT_EQ(server.Requests().at(0).Header("User-Agent"), "...");
//
// Every request is recorded, also the unexpected ones. A request that matches
// no expectation (method and path, the query aside) gets status 404 and fails
// the test; so does an expectation that was not met. Both are reported by
// Stop(), which the destructor calls, on the thread that stops the server.
namespace Zentak::Test {

struct RecordedRequest {
    std::string method;
    std::string path;  // without the query
    std::string query; // the text after '?', empty when none
    httplib::Headers headers; // names compared without regard to case
    std::string body;

    // The first value of a header, empty when absent.
    std::string Header(const std::string& name) const;
};

// How often an expectation must be met.
struct Times {
    std::size_t min = 1;
    std::size_t max = std::numeric_limits<std::size_t>::max();

    static Times Exactly(std::size_t count) { return {count, count}; }
    static Times AtLeast(std::size_t count) { return {count, std::numeric_limits<std::size_t>::max()}; }
    static Times Any() { return AtLeast(0); }
};

class ReplyControl;

// What the server answers to one request.
class Reply {
public:
    // A body with Content-Length.
    static Reply Body(std::string body, int status = 200);
    // A body without Content-Length (chunked transfer encoding), in chunks of
    // `chunkSize` bytes.
    static Reply Chunked(std::string body, std::size_t chunkSize = 4096);
    // A status with an optional body.
    static Reply Status(int status, std::string body = {});
    // A redirect to `location` (a path on this server or a whole URL).
    static Reply Redirect(std::string location, int status = 302);
    // `body` compressed with gzip and sent with "Content-Encoding: gzip".
    static Reply Gzip(const std::string& body);
    // Announces `length` bytes, sends `prefix`, then nothing until the server
    // stops.
    static Reply Stall(std::size_t length, std::string prefix = {});
    // Sends nothing at all, not even the status line, until the server stops.
    static Reply Hang();
    // Sends `body` (with Content-Length) `step` bytes at a time, waiting
    // `interval` before each step.
    static Reply Drip(std::string body, std::size_t step, std::chrono::milliseconds interval);
    // Announces the whole `body`, sends its first `cut` bytes and then resets
    // the connection (TCP RST).
    static Reply Reset(std::string body, std::size_t cut);
    // `body` as a server with byte ranges sends it: a request with a single
    // "Range: bytes=<first>-[<last>]" gets status 206 with that part and its
    // Content-Range, any other request status 200 and the whole body. The
    // body bytes actually sent are added to `sent` when given.
    static Reply Ranged(std::string body,
                        std::shared_ptr<std::atomic<std::size_t>> sent = nullptr);
    // Writes `response` (status line, headers and body, exactly as given)
    // straight onto the connection and closes it, bypassing the server's HTTP
    // layer, which would otherwise answer a Range request with a part of the
    // body even for status 200. For servers that ignore ranges, or malformed
    // replies.
    static Reply Raw(std::string response);
    // A reply chosen for each request by `choose` (from its Range header,
    // say), on the server's thread.
    static Reply Choose(std::function<Reply(const httplib::Request&)> choose);
    // The first byte a request's "Range: bytes=<first>-..." asks for; -1
    // without a range.
    static long long RangeStart(const httplib::Request& request);
    // Anything else, written by the test with cpp-httplib's own types.
    static Reply Custom(std::function<void(const httplib::Request&, httplib::Response&)> handler);

    // Extra response headers and the content type (application/octet-stream
    // unless changed, so that the server never compresses on its own).
    Reply&& WithHeader(std::string name, std::string value) &&;
    Reply&& WithContentType(std::string type) &&;

private:
    friend class TestServer;
    using Writer = std::function<void(const httplib::Request&, httplib::Response&,
                                      const std::string& contentType, ReplyControl&)>;

    Reply(int status, Writer writer) : m_status(status), m_writer(std::move(writer)) {}

    int m_status;
    std::string m_contentType = "application/octet-stream";
    std::vector<std::pair<std::string, std::string>> m_headers;
    Writer m_writer;
};

// Lets a reply wait for the server to stop (stalls and drips).
class ReplyControl {
public:
    virtual ~ReplyControl() = default;
    // Waits up to `duration`; false when the server is stopping.
    virtual bool Sleep(std::chrono::milliseconds duration) = 0;
};

class TestServer : private ReplyControl {
public:
    enum class Scheme { Http, Https };

    // Starts listening on 127.0.0.1 on a free port; an HTTPS server makes its
    // own certificate authority (see CaFile).
    explicit TestServer(Scheme scheme = Scheme::Http);
    ~TestServer() override;

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Answers requests of `method` to `path` with `reply`. Expectations for the
    // same method and path are used in the order given, each until it reached
    // its maximum count. Safe from any thread, also while serving.
    void Expect(std::string method, std::string path, Reply reply, Times times = Times::AtLeast(1));

    int Port() const { return m_port; }
    // "http://127.0.0.1:<port>" + pathAndQuery (https for an HTTPS server).
    std::string Url(const std::string& pathAndQuery) const;
    // The authority's certificate file of an HTTPS server, empty for HTTP.
    std::string CaFile() const;

    // Every request so far, in arrival order. Safe from any thread.
    std::vector<RecordedRequest> Requests() const;
    // Waits (at most `timeout`) until `count` requests for `path` arrived.
    bool WaitForRequests(const std::string& path, std::size_t count,
                         std::chrono::milliseconds timeout) const;

    // Ends stalls and drips, stops serving and reports unexpected requests and
    // unmet expectations as test failures. Idempotent.
    void Stop();

private:
    struct Expectation {
        std::string method;
        std::string path;
        std::shared_ptr<Reply> reply;
        Times times;
        std::size_t count = 0;
    };

    void Handle(const httplib::Request& request, httplib::Response& response);
    bool Sleep(std::chrono::milliseconds duration) override;

    std::unique_ptr<TestCertificateAuthority> m_authority;
    std::unique_ptr<httplib::Server> m_server;
    int m_port = -1;
    std::string m_scheme;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Expectation> m_expectations;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::string> m_unexpected;
    bool m_stopping = false;
    bool m_stopped = false;
};

} // namespace Zentak::Test
