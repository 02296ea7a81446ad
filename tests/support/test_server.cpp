#include "support/test_server.h"
#include "support/posix_compat.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

// cpp-httplib is a prebuilt library without ThreadSanitizer instrumentation:
// its own function-local statics and atomics synchronise its worker threads in
// ways the sanitizer cannot see, so races inside it are not ours to report.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libcpp-httplib.so\n";
}
#endif

namespace Zentak::Test {
namespace {

constexpr std::chrono::milliseconds kStopCheck(50);
// No reply waits longer than this, whatever the test forgot to stop.
constexpr std::chrono::seconds kLongestWait(120);

std::string Compress(const std::string& data)
{
    z_stream stream{};
    // 15 window bits + 16: a gzip wrapper rather than a zlib one.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    return out;
}

// cpp-httplib does not hand its sockets to handlers, so the connection of a
// request is found by its two ports; -1 when there is none.
int FindConnection(int localPort, int remotePort)
{
    const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int descriptor = 3; descriptor < limit; ++descriptor) {
        sockaddr_in local{};
        socklen_t length = sizeof(local);
        if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != localPort) {
            continue;
        }
        sockaddr_in peer{};
        length = sizeof(peer);
        if (getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            ntohs(peer.sin_port) != remotePort) {
            continue;
        }
        return descriptor;
    }
    return -1;
}

// Puts a fresh unconnected socket in the place of a connection's descriptor,
// which closes the connection; cpp-httplib later writes to and closes the
// placeholder instead.
bool ReplaceWithPlaceholder(int descriptor)
{
    const int placeholder = Test::TcpSocket();
    if (placeholder < 0) {
        return false;
    }
    const bool replaced = Test::Duplicate(placeholder, descriptor) == descriptor;
    close(placeholder);
    return replaced;
}

// Resets the connection of a request: it closes with SO_LINGER 0, which sends
// a TCP reset.
bool ResetConnection(int localPort, int remotePort)
{
    const int descriptor = FindConnection(localPort, remotePort);
    if (descriptor < 0) {
        return false;
    }
    const linger abort{1, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    return ReplaceWithPlaceholder(descriptor);
}

// Sends `bytes` on the connection of a request and closes it in order.
bool SendAndClose(int localPort, int remotePort, const std::string& bytes)
{
    const int descriptor = FindConnection(localPort, remotePort);
    if (descriptor < 0) {
        return false;
    }
    // cpp-httplib's sockets are non-blocking only while connecting.
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const ssize_t sent =
            Test::SendNoSignal(descriptor, bytes.data() + offset, bytes.size() - offset);
        if (sent <= 0) {
            break;
        }
        offset += static_cast<std::size_t>(sent);
    }
    shutdown(descriptor, SHUT_WR);
    return ReplaceWithPlaceholder(descriptor) && offset == bytes.size();
}

std::string QueryOf(const std::string& target)
{
    const auto mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

} // namespace

std::string RecordedRequest::Header(const std::string& name) const
{
    const auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

Reply Reply::Body(std::string body, int status)
{
    return Reply(status, [body = std::move(body)](const httplib::Request&, httplib::Response& response,
                                                  const std::string& type, ReplyControl&) {
        response.set_content(body, type);
    });
}

Reply Reply::Chunked(std::string body, std::size_t chunkSize)
{
    chunkSize = std::max<std::size_t>(chunkSize, 1);
    return Reply(200, [body = std::move(body), chunkSize](const httplib::Request&,
                                                          httplib::Response& response,
                                                          const std::string& type, ReplyControl&) {
        response.set_chunked_content_provider(
            type, [body, chunkSize](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                return sink.write(body.data() + offset, std::min(chunkSize, body.size() - offset));
            });
    });
}

Reply Reply::Status(int status, std::string body)
{
    return Body(std::move(body), status);
}

Reply Reply::Redirect(std::string location, int status)
{
    return std::move(Reply(status, [](const httplib::Request&, httplib::Response&,
                                      const std::string&, ReplyControl&) {}))
        .WithHeader("Location", std::move(location));
}

Reply Reply::Gzip(const std::string& body)
{
    return std::move(Body(Compress(body))).WithHeader("Content-Encoding", "gzip");
}

Reply Reply::Stall(std::size_t length, std::string prefix)
{
    return Reply(200, [length, prefix = std::move(prefix)](const httplib::Request&,
                                                           httplib::Response& response,
                                                           const std::string& type,
                                                           ReplyControl& control) {
        response.set_content_provider(
            length, type, [prefix, &control](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (offset == 0 && !prefix.empty() && !sink.write(prefix.data(), prefix.size())) {
                    return false;
                }
                const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
                while (control.Sleep(kStopCheck) && std::chrono::steady_clock::now() < deadline) {
                }
                return false;
            });
    });
}

Reply Reply::Hang()
{
    return Reply(503, [](const httplib::Request&, httplib::Response&, const std::string&,
                         ReplyControl& control) {
        const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
        while (control.Sleep(kStopCheck) && std::chrono::steady_clock::now() < deadline) {
        }
    });
}

Reply Reply::Drip(std::string body, std::size_t step, std::chrono::milliseconds interval)
{
    step = std::max<std::size_t>(step, 1);
    return Reply(200, [body = std::move(body), step, interval](const httplib::Request&,
                                                               httplib::Response& response,
                                                               const std::string& type,
                                                               ReplyControl& control) {
        response.set_content_provider(
            body.size(), type,
            [body, step, interval, &control](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (!control.Sleep(interval)) {
                    return false;
                }
                return sink.write(body.data() + offset, std::min(step, body.size() - offset));
            });
    });
}

Reply Reply::Reset(std::string body, std::size_t cut)
{
    return Reply(200, [body = std::move(body), cut](const httplib::Request& request,
                                                    httplib::Response& response,
                                                    const std::string& type, ReplyControl& control) {
        const int localPort = request.local_port;
        const int remotePort = request.remote_port;
        response.set_content_provider(
            body.size(), type,
            [body, cut, localPort, remotePort, &control](std::size_t, std::size_t,
                                                         httplib::DataSink& sink) {
                const std::size_t sent = std::min(cut, body.size());
                if (sent > 0 && !sink.write(body.data(), sent)) {
                    return false;
                }
                // Give the client a moment to read what was sent, so that the
                // reset cuts the body rather than the headers.
                control.Sleep(std::chrono::milliseconds(50));
                ResetConnection(localPort, remotePort);
                return false;
            });
    });
}

Reply Reply::Ranged(std::string body, std::shared_ptr<std::atomic<std::size_t>> sent)
{
    return Reply(200, [body = std::move(body), sent](const httplib::Request& request,
                                                     httplib::Response& response,
                                                     const std::string& type, ReplyControl&) {
        // cpp-httplib cuts the part out itself (for any status); the status
        // is what a server with ranges would say.
        if (request.ranges.size() == 1) {
            response.status = 206;
        }
        response.set_content_provider(
            body.size(), type,
            [body, sent](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                const std::size_t count = std::min<std::size_t>(length, 256 * 1024);
                if (!sink.write(body.data() + offset, count)) {
                    return false;
                }
                if (sent) {
                    *sent += count;
                }
                return true;
            });
    });
}

Reply Reply::Raw(std::string bytes)
{
    return Reply(200, [bytes = std::move(bytes)](const httplib::Request& request,
                                                 httplib::Response&, const std::string&,
                                                 ReplyControl&) {
        SendAndClose(request.local_port, request.remote_port, bytes);
    });
}

Reply Reply::Choose(std::function<Reply(const httplib::Request&)> choose)
{
    return Reply(200, [choose = std::move(choose)](const httplib::Request& request,
                                                   httplib::Response& response,
                                                   const std::string&, ReplyControl& control) {
        const Reply chosen = choose(request);
        response.status = chosen.m_status;
        for (const auto& [name, value] : chosen.m_headers) {
            response.set_header(name.c_str(), value);
        }
        chosen.m_writer(request, response, chosen.m_contentType, control);
    });
}

long long Reply::RangeStart(const httplib::Request& request)
{
    const std::string range = request.get_header_value("Range");
    const std::string prefix = "bytes=";
    if (range.compare(0, prefix.size(), prefix) != 0 || range.size() == prefix.size() ||
        !std::isdigit(static_cast<unsigned char>(range[prefix.size()]))) {
        return -1;
    }
    return std::stoll(range.substr(prefix.size()));
}

Reply Reply::Custom(std::function<void(const httplib::Request&, httplib::Response&)> handler)
{
    return Reply(200, [handler = std::move(handler)](const httplib::Request& request,
                                                     httplib::Response& response,
                                                     const std::string&, ReplyControl&) {
        handler(request, response);
    });
}

Reply&& Reply::WithHeader(std::string name, std::string value) &&
{
    m_headers.emplace_back(std::move(name), std::move(value));
    return std::move(*this);
}

Reply&& Reply::WithContentType(std::string type) &&
{
    m_contentType = std::move(type);
    return std::move(*this);
}

TestServer::TestServer(Scheme scheme)
{
    if (scheme == Scheme::Https) {
        m_authority = std::make_unique<TestCertificateAuthority>();
        m_server = std::make_unique<httplib::SSLServer>(m_authority->ServerCertificate(),
                                                        m_authority->ServerKey());
        m_scheme = "https";
    } else {
        m_server = std::make_unique<httplib::Server>();
        m_scheme = "http";
    }
    if (!m_server->is_valid()) {
        throw std::runtime_error("test server: invalid set-up");
    }
    // One request per connection: stopping then never waits for an idle
    // keep-alive connection to time out.
    m_server->set_keep_alive_max_count(1);
    m_server->set_keep_alive_timeout(1);
    // Every path of every method comes to Handle (HEAD through the GET route);
    // the routes, unlike a pre-routing handler, see the request body.
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        Handle(request, response);
    };
    const std::string anyPath = ".*";
    m_server->Get(anyPath, handler)
        .Post(anyPath, handler)
        .Put(anyPath, handler)
        .Patch(anyPath, handler)
        .Delete(anyPath, handler)
        .Options(anyPath, handler);
    m_port = m_server->bind_to_any_port("127.0.0.1");
    if (m_port <= 0) {
        throw std::runtime_error("test server: no free port on 127.0.0.1");
    }
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    // stop() is lost on a server that is not running yet.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!m_server->is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!m_server->is_running()) {
        m_server->stop();
        m_thread.detach();
        throw std::runtime_error("test server: did not start");
    }
}

TestServer::~TestServer()
{
    Stop();
}

void TestServer::Expect(std::string method, std::string path, Reply reply, Times times)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_expectations.push_back(
        {std::move(method), std::move(path), std::make_shared<Reply>(std::move(reply)), times});
}

std::string TestServer::Url(const std::string& pathAndQuery) const
{
    return m_scheme + "://127.0.0.1:" + std::to_string(m_port) + pathAndQuery;
}

std::string TestServer::CaFile() const
{
    return m_authority ? m_authority->CaFile() : std::string();
}

std::vector<RecordedRequest> TestServer::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool TestServer::WaitForRequests(const std::string& path, std::size_t count,
                                 std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(
                   m_requests.begin(), m_requests.end(),
                   [&](const RecordedRequest& request) { return request.path == path; })) >= count;
    });
}

void TestServer::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped) {
            return;
        }
        m_stopping = true;
    }
    m_changed.notify_all();
    m_server->stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }

    std::vector<std::string> unexpected;
    std::vector<std::string> unmet;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        unexpected = m_unexpected;
        for (const Expectation& expectation : m_expectations) {
            if (expectation.count < expectation.times.min) {
                unmet.push_back(expectation.method + " " + expectation.path + ": expected " +
                                std::to_string(expectation.times.min) + ", got " +
                                std::to_string(expectation.count));
            }
        }
    }
    for (const std::string& request : unexpected) {
        ADD_FAILURE() << "Unexpected request to the test server: " << request;
    }
    for (const std::string& expectation : unmet) {
        ADD_FAILURE() << "Expected request never came to the test server: " << expectation;
    }
}

void TestServer::Handle(const httplib::Request& request, httplib::Response& response)
{
    std::shared_ptr<Reply> reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(
            {request.method, request.path, QueryOf(request.target), request.headers, request.body});
        for (Expectation& expectation : m_expectations) {
            if (expectation.method == request.method && expectation.path == request.path &&
                expectation.count < expectation.times.max) {
                ++expectation.count;
                reply = expectation.reply;
                break;
            }
        }
        if (!reply) {
            m_unexpected.push_back(request.method + " " + request.target);
        }
    }
    m_changed.notify_all();

    if (!reply) {
        response.status = 404;
        response.set_content("unexpected request", "text/plain");
        return;
    }
    response.status = reply->m_status;
    for (const auto& [name, value] : reply->m_headers) {
        response.set_header(name.c_str(), value);
    }
    reply->m_writer(request, response, reply->m_contentType, *this);
}

bool TestServer::Sleep(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_changed.wait_for(lock, duration, [this] { return m_stopping; });
}

} // namespace Zentak::Test
